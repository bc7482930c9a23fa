// Holds a serial queue past the application object's life, as a static would at exit.

#include "platform/Dispatch.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
std::shared_ptr<zarv::DispatchQueue> g_queue;
}

int main(int argc, char** argv) {
    {
        QCoreApplication app(argc, argv);
        g_queue = zarv::DispatchQueue::createSerial(QStringLiteral("com.quellbay.test.exit"));
        g_queue->sync([] { std::puts("ran"); });
    }
    return 0;
}
