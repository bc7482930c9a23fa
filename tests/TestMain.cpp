#include "platform/Log.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// Tests run with an application object so that queues, timers and signals work; the event loop
// is spun by the tests that need it.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The program's log goes to standard error too, so a failing test shows what led to it.
    zarv::Log::setEchoToStderr(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
