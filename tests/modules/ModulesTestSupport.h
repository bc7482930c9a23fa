#pragma once

#include "platform/Bundle.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>

namespace zarv::test {

/// A throw-away application bundle made the main bundle for the life of the object, with its
/// own identifier (so that its scratch folder is its own) and, when given, a factory list.
class FakeApplication {
public:
    explicit FakeApplication(const QVariant& factoryList = {}) {
        identifier = QStringLiteral("com.quellbay.test.") +
                     QUuid::createUuid().toString(QUuid::WithoutBraces);
        path = dir.filePath(QStringLiteral("Zarv.app"));
        QDir().mkpath(path + QStringLiteral("/Contents/Resources"));
        PropertyList::writeFile(path + QStringLiteral("/Contents/Info.plist"),
                                QVariantMap{{QStringLiteral("CFBundleIdentifier"), identifier}});
        if (factoryList.isValid())
            setFactoryList(factoryList);
        Bundle::setMainBundlePath(path);
    }
    ~FakeApplication() {
        Bundle::setMainBundlePath(QString());
        QDir(scratchFolder()).removeRecursively();
    }
    FakeApplication(const FakeApplication&) = delete;
    FakeApplication& operator=(const FakeApplication&) = delete;

    QString factoryListPath() const {
        return path + QStringLiteral("/Contents/Resources/FactoryDefaultNikonList.plist");
    }
    void setFactoryList(const QVariant& list) const {
        PropertyList::writeFile(factoryListPath(), list);
    }
    void setFactoryListBytes(const QByteArray& bytes) const {
        QFile f(factoryListPath());
        f.open(QIODevice::WriteOnly);
        f.write(bytes);
    }
    QString scratchFolder() const { return userTemporaryDirectory() + u'/' + identifier; }

    QTemporaryDir dir;
    QString path;
    QString identifier;
};

inline QVariantMap lookupEntry(const QString& camera, const QString& module, qlonglong productID) {
    return {{QStringLiteral("devicename"), camera},
            {QStringLiteral("modulename"), module},
            {QStringLiteral("productid"), productID}};
}

} // namespace zarv::test
