#pragma once

#include <QFile>
#include <QString>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace zarv::test {

/// Things that can sit where a property list is expected and must never be read through: a
/// pipe nobody writes to (blocks the reader), a link to /dev/zero (feeds it without end) and a
/// sparse file just over the size limit (gigabytes in the worst case, cheap to make).
enum class Hostile { Pipe, EndlessDevice, Huge };
inline constexpr Hostile kHostileFiles[] = {Hostile::Pipe, Hostile::EndlessDevice, Hostile::Huge};

inline const char* describe(Hostile kind) {
    static const char* const names[] = {"a pipe", "a link to /dev/zero",
                                        "a sparse file over 64 MiB"};
    return names[static_cast<int>(kind)];
}

/// Makes `kind` at `path`; false (with a test failure) when the file system will not.
inline bool makeHostileFile(const QString& path, Hostile kind) {
    switch (kind) {
    case Hostile::Pipe:
        EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0) << path.toStdString();
        break;
    case Hostile::EndlessDevice:
        EXPECT_TRUE(QFile::link(QStringLiteral("/dev/zero"), path)) << path.toStdString();
        break;
    case Hostile::Huge: {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.resize((qint64(64) << 20) + 1))
            << path.toStdString();
        break;
    }
    }
    return QFile::exists(path) || QFile::symLinkTarget(path) != QString();
}

} // namespace zarv::test
