// The device information dictionary is built from whatever udev reports of a device, and a USB
// device reports what its firmware says: any text in any attribute. The dictionary must always
// be storable (it is written to a diagnostic file and posted), and the diagnostic file must land
// in its folder under a usable name whatever the product is called.

#include "FuzzSupport.h"

#include "modules/LookupTable.h"
#include "platform/Path.h"
#include "platform/PropertyList.h"
#include "usb/UsbRegistryEntry.h"
#include "usb/ZARV_camera.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

using namespace zarv;

namespace {

QString g_diagnostics;

// Attribute text: mostly what sysfs prints (hexadecimal, decimal, a speed), sometimes anything.
QString attributeText(fuzz::Input& in) {
    switch (in.byte() % 4) {
    case 0:
        return QString::number(in.u16(), 16).rightJustified(4, u'0') + u'\n';
    case 1:
        return QString::number(qint32(in.u32()));
    case 2: {
        static const char* const speeds[] = {"1.5", "12", "480", "5000", "10000", "20000"};
        return QLatin1String(speeds[in.byte() % 6]);
    }
    default:
        return in.text(64);
    }
}

QString sysname(fuzz::Input& in) {
    switch (in.byte() % 3) {
    case 0: {
        QString name = QString::number(in.byte()) + u'-' + QString::number(in.byte());
        for (int depth = in.byte() % 9; depth > 0; --depth)
            name += u'.' + QString::number(in.u16());
        return name;
    }
    case 1:
        return QStringLiteral("usb") + QString::number(in.u32());
    default:
        return in.text(32);
    }
}

void checkFolder() {
    QDirIterator it(QFileInfo(g_diagnostics).path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo file(it.next());
        if (file.filePath() == g_diagnostics)
            continue;
        FUZZ_CHECK(file.path() == g_diagnostics, "a diagnostic file went astray: %s",
                   qPrintable(file.filePath()));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(argc, argv);
    // Diagnostic files are written only where their folder exists: make it exist.
    g_diagnostics = temporaryFolderForApplication(IfMissing::Create);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    UsbRegistryEntry entry;
    if (in.flag())
        entry.syspath = QStringLiteral("/sys/devices/pci0000:00/usb1/") + in.text(32);
    entry.sysname = sysname(in);
    const uint32_t present = in.u16();
    for (size_t i = 0; i < std::size(kUsbRegistryAttributes); ++i)
        if (present & (1u << i))
            entry.attributes.insert(QLatin1String(kUsbRegistryAttributes[i]), attributeText(in));
    for (int n = in.byte() % 8; n > 0; --n)
        entry.properties.insert(in.text(24), in.text(64));

    const QVariantMap properties = entry.registryProperties();
    QString error;
    FUZZ_CHECK(PropertyList::canRepresent(properties, &error),
               "the registry properties cannot be stored: %s", qPrintable(error));
    const auto id = entry.locationID();
    FUZZ_CHECK(entry.location() == (id ? QString::number(*id, 16) : QString()),
               "location and locationID disagree");

    const QString name =
        ZARV_camera::diagnosticFileName(QStringLiteral("USBInfoFor_"), entry.name(), in.text(128));
    FUZZ_CHECK(!name.contains(u'/') && name.toUtf8().size() <= 255,
               "an unusable diagnostic file name: %s", qPrintable(name));

    if (const auto info = ZARV_camera::getIOKitObjectInfo(entry)) {
        FUZZ_CHECK(PropertyList::canRepresent(*info, &error),
                   "the device information cannot be stored: %s", qPrintable(error));
        ZARV_camera::matchedOurProductList(*info);
        if (info->contains(QStringLiteral("usbproperties")))
            FUZZ_CHECK(QDir(g_diagnostics).entryList(QDir::Files).size() == 1,
                       "the diagnostic file of %s was not written", qPrintable(entry.name()));
    }
    checkFolder();
    fuzz::emptyFolder(g_diagnostics);
    return 0;
}
