#pragma once

#include "lookout/SamplePictures.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include <functional>

namespace zarv::lookout::test {

/// Runs the event loop until `done` holds; false when `ms` passed first.
inline bool spinUntil(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

/// A folder of sample pictures for one test.
struct Pictures {
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }
    QString jpeg(const QString& name, QSize size = {1200, 800}, int orientation = 1,
                 bool thumbnail = true) const {
        samples::Shot shot;
        shot.orientation = orientation;
        samples::writeJpeg(path(name), samples::drawScene(size), shot, 85, thumbnail);
        return path(name);
    }
    QString nef(const QString& name, QSize preview = {1200, 800}) const {
        samples::writeNef(path(name), samples::drawScene(preview), samples::Shot());
        return path(name);
    }
    QString file(const QString& name, const QByteArray& bytes) const {
        QFile f(path(name));
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
        return path(name);
    }
    QByteArray read(const QString& name) const {
        QFile f(path(name));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
};

} // namespace zarv::lookout::test
