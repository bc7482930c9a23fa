// ZarvNikonCapture: camera tethering for Nikon cameras driven through their MAID modules.

#include "platform/Bundle.h"
#include "platform/Log.h"
#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

using namespace zarv;

namespace {

QString architectureName(int cpu) {
    switch (cpu) {
    case Bundle::I386:
        return QStringLiteral("i386");
    case Bundle::X86_64:
        return QStringLiteral("x86_64");
    case Bundle::PPC:
        return QStringLiteral("ppc");
    case Bundle::PPC64:
        return QStringLiteral("ppc64");
    case Bundle::ARM:
        return QStringLiteral("arm");
    case Bundle::ARM64:
        return QStringLiteral("arm64");
    default:
        return QStringLiteral("0x%1").arg(cpu, 0, 16);
    }
}

QString versionText(const Bundle& bundle) {
    return QStringLiteral("%1 %2").arg(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString(),
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString());
}

void printBundleInformation(QTextStream& out, const Bundle& bundle) {
    out << versionText(bundle) << "\n";
    out << "Bundle:      " << bundle.bundlePath() << "\n";
    const QVariantMap info = bundle.infoDictionary();
    for (auto it = info.cbegin(); it != info.cend(); ++it)
        out << "  " << it.key() << " = " << it.value().toString() << "\n";
    QStringList archs;
    for (int cpu : bundle.executableArchitectures())
        archs << architectureName(cpu);
    out << "Executable:  " << bundle.executablePath() << " (" << archs.join(QStringLiteral(", "))
        << ")\n";
    const QString helper32 =
        bundle.pathForAuxiliaryExecutable(QStringLiteral("ZarvNikonCapture_32"));
    out << "32-bit build: " << (helper32.isEmpty() ? QStringLiteral("not built") : helper32)
        << "\n";
    out << "Resources:   " << bundle.resourcePath() << "\n";
    for (const QString& name :
         {QStringLiteral("FactoryDefault"), QStringLiteral("FactoryDefaultNikonList")}) {
        const QString path = bundle.pathForResource(name, QStringLiteral("plist"));
        QString state = QStringLiteral("missing");
        if (!path.isEmpty()) {
            QString error;
            const QVariant value = PropertyList::readFile(path, &error);
            state =
                value.isValid() ? QStringLiteral("%1 entries").arg(value.toMap().size()) : error;
        }
        out << "  " << name << ": " << state << "\n";
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Bundle& bundle = Bundle::mainBundle();
    QCoreApplication::setApplicationName(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString());
    QCoreApplication::setApplicationVersion(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString());
    Log::install(QStringLiteral("ZarvNikonCapture"));

    QTextStream out(stdout);
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--version"))) {
        out << versionText(bundle) << "\n";
        return 0;
    }
    printBundleInformation(out, bundle);
    return 0;
}
