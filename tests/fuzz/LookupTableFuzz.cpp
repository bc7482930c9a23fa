// The camera-to-module table the program chooses modules from is the user copy in the settings
// file (or a launch argument) whenever there is one, so it is whatever a hand-edited or damaged
// file holds. Any content must leave module choice sane, and a table with a camera matched into
// it must stay storable: a table that cannot be written loses every match.

#include "FuzzSupport.h"

#include "modules/LookupTable.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

using namespace zarv;

namespace {

QString g_scratch;

void checkTable(const QVariantMap& table, const QString& camera, UserDefaults& defaults) {
    QString error;
    FUZZ_CHECK(PropertyList::canRepresent(table, &error), "the table read cannot be stored: %s",
               qPrintable(error));
    QStringList cameras = table.keys().mid(0, 8);
    cameras.append(camera);
    for (const QString& name : cameras) {
        if (const auto module = moduleNameForCamera(table, name))
            FUZZ_CHECK(!module->isEmpty(), "an empty module name for %s", qPrintable(name));
    }
    const QList<int> ids = productIDsOfLookupTable(table);
    FUZZ_CHECK(QSet<int>(ids.cbegin(), ids.cend()).size() == ids.size(),
               "a product identifier listed twice");

    for (const QString& name : cameras) {
        const QVariantMap entry = table.value(name).toMap();
        const QVariantMap device{
            {QStringLiteral("deviceName"), name},
            {QStringLiteral("productID"), entry.value(QStringLiteral("productid"))}};
        const auto matched = lookupTableWithMatchedCamera(
            device, QStringLiteral("Type0099 Module.bundle"), defaults);
        if (!matched)
            continue;
        FUZZ_CHECK(moduleNameForCamera(*matched, name) == QStringLiteral("Type0099 Module.bundle"),
                   "the matched camera %s does not lead to its module", qPrintable(name));
        FUZZ_CHECK(PropertyList::canRepresent(*matched, &error),
                   "the table with %s matched cannot be stored: %s", qPrintable(name),
                   qPrintable(error));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    g_scratch = fuzz::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const bool asArgument = in.flag();
    const QString camera = in.text(32);
    const QByteArray contents = in.rest();
    const QString settings = g_scratch + QStringLiteral("/config/fuzz.plist");
    QStringList arguments;
    if (asArgument) {
        arguments = {QStringLiteral("-prefNikonLookupTable"), QString::fromUtf8(contents)};
    } else {
        QFile file(settings);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size(),
                   "cannot write %s", qPrintable(settings));
    }
    {
        UserDefaults defaults(settings, arguments);
        if (const auto table = currentNikonLookupTable(defaults))
            checkTable(*table, camera, defaults);
        if (const auto list =
                createMatchListFile(defaults, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5))))
            FUZZ_CHECK(PropertyList::readFile(*list).isValid(), "the match list %s is unreadable",
                       qPrintable(*list));
    }
    for (const char* folder : {"/config", "/tmp", "/home"})
        fuzz::emptyFolder(g_scratch + QLatin1String(folder));
    return 0;
}
