// zarv-plutil: inspect, check and convert property-list files, in the manner of the Mac's plutil.

#include "platform/PropertyList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

using namespace zarv;

namespace {

const char* kUsage =
    "usage: zarv-plutil -p FILE...\n"
    "       zarv-plutil -lint FILE...\n"
    "       zarv-plutil -convert xml1|binary1 FILE... [-o OUT]\n"
    "\n"
    "  -p        print the property list readably\n"
    "  -lint     check that each file is a valid property list (exit 0 when all are)\n"
    "  -convert  rewrite each file in the given format, in place or to OUT (one file only)\n";

QString quoted(const QString& s) {
    QString out = s;
    out.replace(u'\\', QLatin1String("\\\\")).replace(u'"', QLatin1String("\\\""));
    out.replace(u'\n', QLatin1String("\\n"));
    return u'"' + out + u'"';
}

void print(QTextStream& out, const QVariant& v, int indent) {
    const QString pad(indent * 2, u' ');
    switch (v.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = v.toMap();
        out << "{\n";
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            out << pad << "  " << quoted(it.key()) << " => ";
            print(out, it.value(), indent + 1);
        }
        out << pad << "}\n";
        break;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = v.toList();
        out << "[\n";
        for (qsizetype i = 0; i < list.size(); ++i) {
            out << pad << "  " << i << " => ";
            print(out, list.at(i), indent + 1);
        }
        out << pad << "]\n";
        break;
    }
    case QMetaType::QString:
        out << quoted(v.toString()) << "\n";
        break;
    case QMetaType::Bool:
        out << (v.toBool() ? "true" : "false") << "\n";
        break;
    case QMetaType::QDateTime:
        out << v.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000")) << "\n";
        break;
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        const QByteArray shown = b.left(24).toHex();
        out << "{length = " << b.size() << ", bytes = 0x" << shown << (b.size() > 24 ? " ... " : "")
            << "}\n";
        break;
    }
    case QMetaType::Double:
        out << QString::number(v.toDouble(), 'g', 17) << "\n";
        break;
    default:
        out << v.toString() << "\n";
        break;
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (args.isEmpty() || args.first() == QLatin1String("-help") ||
        args.first() == QLatin1String("-h")) {
        (args.isEmpty() ? err : out) << kUsage;
        return args.isEmpty() ? 2 : 0;
    }

    const QString command = args.takeFirst();
    if (command == QLatin1String("-p") || command == QLatin1String("-lint")) {
        if (args.isEmpty()) {
            err << kUsage;
            return 2;
        }
        int status = 0;
        for (const QString& file : std::as_const(args)) {
            QString error;
            const QVariant value = PropertyList::readFile(file, &error);
            if (!value.isValid()) {
                err << error << "\n";
                status = 1;
            } else if (command == QLatin1String("-lint")) {
                out << file << ": OK\n";
            } else {
                print(out, value, 0);
            }
        }
        return status;
    }

    if (command == QLatin1String("-convert")) {
        if (args.isEmpty()) {
            err << kUsage;
            return 2;
        }
        const QString formatName = args.takeFirst();
        PropertyList::Format format;
        if (formatName == QLatin1String("xml1"))
            format = PropertyList::Format::Xml;
        else if (formatName == QLatin1String("binary1"))
            format = PropertyList::Format::Binary;
        else {
            err << "zarv-plutil: unknown format '" << formatName << "' (use xml1 or binary1)\n";
            return 2;
        }
        QString output;
        if (const qsizetype o = args.indexOf(QStringLiteral("-o")); o >= 0) {
            if (o + 1 >= args.size()) {
                err << "zarv-plutil: -o needs a file name\n";
                return 2;
            }
            output = args.at(o + 1);
            args.remove(o, 2);
        }
        if (args.isEmpty() || (!output.isEmpty() && args.size() != 1)) {
            err << kUsage;
            return 2;
        }
        int status = 0;
        for (const QString& file : std::as_const(args)) {
            QString error;
            const QVariant value = PropertyList::readFile(file, &error);
            if (!value.isValid() ||
                !PropertyList::writeFile(output.isEmpty() ? file : output, value, format, &error)) {
                err << error << "\n";
                status = 1;
            }
        }
        return status;
    }

    err << "zarv-plutil: unknown command '" << command << "'\n" << kUsage;
    return 2;
}
