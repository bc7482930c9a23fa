#include "platform/Log.h"

#include <QCoreApplication>

#ifdef ZARV_TEST_WIDGETS
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#endif

#include <gtest/gtest.h>

// Tests run with an application object so that queues, timers and signals work; the event loop
// is spun by the tests that need it.
int main(int argc, char** argv) {
#ifdef ZARV_TEST_WIDGETS
    // Widget tests need the widget application, off screen unless asked otherwise (test
    // discovery runs them at build time, with no display), and settings of their own.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir config;
    if (!config.isValid())
        qFatal("Cannot create a settings folder for the tests: %s",
               qPrintable(config.errorString()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    zarv::UserDefaults::setStandardIdentifier(
        QStringLiteral("com.quellbay.ZarvNikonCapture.uitest"));
#else
    QCoreApplication app(argc, argv);
#endif
    // The program's log goes to standard error too, so a failing test shows what led to it.
    zarv::Log::setEchoToStderr(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
