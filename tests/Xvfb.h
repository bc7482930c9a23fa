#pragma once

// A virtual X display of our own for a test or a benchmark: Xvfb picks a free display number
// and says which (-displayfd); it stops with the object.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

namespace zarv::test {

class Xvfb {
public:
    /// Starts the server; on failure display() is empty and error() says why.
    Xvfb() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // The display server needs none of the test's interposed libraries.
        env.remove(QStringLiteral("LD_PRELOAD"));
        m_server.setProcessEnvironment(env);
        m_server.setProcessChannelMode(QProcess::SeparateChannels);
        m_server.start(QStringLiteral("Xvfb"),
                       {QStringLiteral("-displayfd"), QStringLiteral("1"),
                        QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp"),
                        // Otherwise the server resets whenever its last client leaves (the
                        // program's own display check is one), and a client connecting
                        // during the reset is refused.
                        QStringLiteral("-noreset")});
        if (!m_server.waitForStarted(10000)) {
            m_error = QStringLiteral("cannot start Xvfb: %1").arg(m_server.errorString());
            return;
        }
        QByteArray number;
        while (!number.contains('\n') && m_server.waitForReadyRead(10000))
            number += m_server.readAllStandardOutput();
        bool ok = false;
        const int display = number.trimmed().toInt(&ok);
        if (!ok) {
            m_error = QStringLiteral("Xvfb gave no display number: %1")
                          .arg(QString::fromLocal8Bit(m_server.readAllStandardError()));
            return;
        }
        m_display = QStringLiteral(":%1").arg(display);
    }
    ~Xvfb() {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            if (!m_server.waitForFinished(5000))
                m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    QString display() const { return m_display; }
    QString error() const { return m_error; }

    /// An environment that shows windows on this display, whatever the caller's was.
    QProcessEnvironment environment(QProcessEnvironment env) const {
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

private:
    QProcess m_server;
    QString m_display;
    QString m_error;
};

} // namespace zarv::test
