#include "platform/UserDefaults.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The window's tests bind to and write settings: they get a settings file of their own, never
// the user's. Set up before any test reaches the settings.
class SettingsOfTheirOwn : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(m_config.isValid()) << m_config.errorString().toStdString();
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
        zarv::UserDefaults::setStandardIdentifier(
            QStringLiteral("com.quellbay.ZarvNikonCapture.uitest"));
    }

private:
    QTemporaryDir m_config;
};

const auto* const g_settings = ::testing::AddGlobalTestEnvironment(new SettingsOfTheirOwn);

} // namespace
