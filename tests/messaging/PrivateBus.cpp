// Each test process gets a session bus of its own: tests running side by side must not see each
// other's notifications (the listener beeps for any sibling) nor fight over the desktop
// notification server's name.

#include <QByteArray>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

namespace {

class PrivateBus : public ::testing::Environment {
public:
    void SetUp() override {
        m_daemon = std::make_unique<QProcess>();
        m_daemon->start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(m_daemon->waitForStarted(10000)) << "dbus-daemon is needed";
        QByteArray address;
        while (!address.contains('\n') && m_daemon->waitForReadyRead(10000))
            address += m_daemon->readAllStandardOutput();
        address = address.trimmed();
        ASSERT_FALSE(address.isEmpty()) << "dbus-daemon gave no address";
        // Read by QtDBus on first use, and inherited by every helper program the tests start.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    }
    void TearDown() override {
        if (m_daemon) {
            m_daemon->kill();
            m_daemon->waitForFinished(5000);
        }
    }

private:
    std::unique_ptr<QProcess> m_daemon;
};

[[maybe_unused]] ::testing::Environment* const privateBus =
    ::testing::AddGlobalTestEnvironment(new PrivateBus);

} // namespace
