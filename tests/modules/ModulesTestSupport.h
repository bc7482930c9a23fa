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

/// The start of an ELF file for `machine` (EM_386 = 3, EM_X86_64 = 62): enough for the
/// architecture listing, never loadable.
inline QByteArray elfHeader(quint16 machine, bool wide) {
    QByteArray h(64, '\0');
    h.replace(0, 4,
              "\x7F"
              "ELF");
    h[4] = wide ? 2 : 1;
    h[5] = 1; // little endian
    h[6] = 1;
    h[18] = static_cast<char>(machine & 0xFF);
    h[19] = static_cast<char>(machine >> 8);
    return h;
}

/// NAME.bundle with an Info.plist naming executable "Module" (written when `executable` is given).
inline QString makeBundle(const QString& folder, const QString& name, const QByteArray& executable,
                          bool withInfo = true) {
    const QString root = folder + u'/' + name;
    QDir().mkpath(root + "/Contents/MacOS");
    if (withInfo)
        PropertyList::writeFile(root + "/Contents/Info.plist",
                                QVariantMap{{"CFBundleExecutable", "Module"}});
    if (!executable.isNull()) {
        QFile f(root + "/Contents/MacOS/Module");
        f.open(QIODevice::WriteOnly);
        f.write(executable);
    }
    return root;
}

inline QVariantMap lookupEntry(const QString& camera, const QString& module, qlonglong productID) {
    return {{QStringLiteral("devicename"), camera},
            {QStringLiteral("modulename"), module},
            {QStringLiteral("productid"), productID}};
}

} // namespace zarv::test
