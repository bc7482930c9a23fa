// How log lines write values: the Mac's "%@" form, for lines that carry a whole value.

#include "Log.h"

#include <QDateTime>

namespace zarv::Log {
namespace {

QString quoted(const QString& s) {
    bool plain = !s.isEmpty();
    for (QChar c : s)
        if (!(c.isLetterOrNumber() || c == u'_' || c == u'.' || c == u'$')) {
            plain = false;
            break;
        }
    if (plain)
        return s;
    QString out = QStringLiteral("\"");
    for (QChar c : s) {
        if (c == u'"' || c == u'\\')
            out += u'\\';
        if (c == u'\n')
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out + u'"';
}

void write(QString& out, const QVariant& value, int depth) {
    const QString pad(depth * 4, u' ');
    const QString inner((depth + 1) * 4, u' ');
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        out += QStringLiteral("{\n");
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            out += inner + quoted(it.key()) + QStringLiteral(" = ");
            write(out, it.value(), depth + 1);
            out += QStringLiteral(";\n");
        }
        out += pad + u'}';
        return;
    }
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        out += QStringLiteral("(\n");
        for (qsizetype i = 0; i < list.size(); ++i) {
            out += inner;
            write(out, list.at(i), depth + 1);
            out += i + 1 < list.size() ? QStringLiteral(",\n") : QStringLiteral("\n");
        }
        out += pad + u')';
        return;
    }
    case QMetaType::QByteArray:
        out += u'<' + QString::fromLatin1(value.toByteArray().toHex()) + u'>';
        return;
    case QMetaType::Bool:
        out += value.toBool() ? u'1' : u'0';
        return;
    case QMetaType::QDateTime:
        out += value.toDateTime().toString(Qt::ISODate);
        return;
    case QMetaType::QString:
        out += quoted(value.toString());
        return;
    default:
        out += value.isValid() ? value.toString() : QStringLiteral("(null)");
    }
}

} // namespace

QString describe(const QVariant& value) {
    QString out;
    write(out, value, 0);
    return out;
}

QString value(const QVariant& v) {
    if (!v.isValid() || v.isNull())
        return QStringLiteral("(null)");
    if (v.typeId() == QMetaType::QString)
        return v.toString();
    if (v.canConvert<qlonglong>() && v.typeId() != QMetaType::QVariantMap &&
        v.typeId() != QMetaType::QVariantList)
        return v.toString();
    return describe(v);
}

} // namespace zarv::Log
