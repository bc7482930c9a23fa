#include "platform/Log.h"

#ifdef ZARV_TEST_WIDGETS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

// Tests run with an application object so that queues, timers and signals work (widget tests
// with a QApplication); the event loop is spun by the tests that need it.
int main(int argc, char** argv) {
#ifdef ZARV_TEST_WIDGETS
    // Widget tests read the widgets' state and need no display (nor one when ctest lists them).
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TestApplication app(argc, argv);
    // The program's log goes to standard error too, so a failing test shows what led to it.
    zarv::Log::setEchoToStderr(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
