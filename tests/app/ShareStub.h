#pragma once

#include "TestSupport.h"
#include "platform/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace zarv::test {

/// A folder made the whole PATH (or, `Before` the system's, its first entry) for the life of
/// the object, holding stub programs written by the test: each records its arguments
/// (NUL-separated) in "<name>.args" beside it.
class StubPath {
public:
    enum class Mode { Alone, Before };
    explicit StubPath(Mode mode = Mode::Alone)
        : m_systemPath(qEnvironmentVariable("PATH")),
          m_path("PATH", mode == Mode::Alone ? m_dir.path()
                                             : m_dir.path() + QLatin1Char(':') + m_systemPath) {}
    // The program's process objects go once their process has ended.
    ~StubPath() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    /// A stub `name` that records its arguments, then runs `then` (shell text, e.g. "exit 3")
    /// with the PATH the test started with.
    void addRecorder(const QString& name, const QString& then = QStringLiteral("exit 0")) {
        // Written aside and moved into place: a reader never sees half a list.
        const QString script =
            QStringLiteral("#!/bin/sh\nPATH='%3'\nfor a in \"$@\"; do printf "
                           "'%s\\0' \"$a\"; done > '%1.part' && mv '%1.part' '%1'\n%2\n")
                .arg(argsFile(name), then, m_systemPath);
        QFile file(m_dir.filePath(name));
        file.open(QIODevice::WriteOnly);
        file.write(script.toUtf8());
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QString argsFile(const QString& name) const { return m_dir.filePath(name + ".args"); }
    /// The arguments the stub received, or none when it never ran.
    std::optional<QStringList> arguments(const QString& name) const {
        QFile file(argsFile(name));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        QStringList args = QString::fromUtf8(file.readAll()).split(QChar(0));
        args.removeLast();
        return args;
    }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    // What the stubs themselves run with (sleep, touch).
    QString m_systemPath;
    ScopedEnvironment m_path;
};

} // namespace zarv::test
