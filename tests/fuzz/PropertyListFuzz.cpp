// Property lists come from files anyone can edit and from launch arguments. Reading must never
// crash, a refusal must say why, and what is read must survive being written and read again
// unchanged: settings are read, changed and written back, so any loss there is lost settings.

#include "FuzzSupport.h"

#include "platform/DistributedNotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QStringList>

#include <cmath>

using namespace zarv;

namespace {

// Equal as stored: dates to the whole second (all the XML form keeps), integers by value
// whatever their C++ type.
bool sameValue(const QVariant& a, const QVariant& b) {
    switch (a.typeId()) {
    case QMetaType::QVariantMap: {
        const QVariantMap x = a.toMap();
        const QVariantMap y = b.toMap();
        if (b.typeId() != QMetaType::QVariantMap || x.size() != y.size())
            return false;
        for (auto it = x.cbegin(), jt = y.cbegin(); it != x.cend(); ++it, ++jt)
            if (it.key() != jt.key() || !sameValue(it.value(), jt.value()))
                return false;
        return true;
    }
    case QMetaType::QVariantList: {
        const QVariantList x = a.toList();
        const QVariantList y = b.toList();
        if (b.typeId() != QMetaType::QVariantList || x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i)
            if (!sameValue(x.at(i), y.at(i)))
                return false;
        return true;
    }
    case QMetaType::QDateTime:
        return b.typeId() == QMetaType::QDateTime &&
               a.toDateTime().toSecsSinceEpoch() == b.toDateTime().toSecsSinceEpoch();
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return (b.typeId() == QMetaType::LongLong || b.typeId() == QMetaType::ULongLong) &&
               a.toULongLong() == b.toULongLong();
    case QMetaType::Double:
        return b.typeId() == QMetaType::Double && a.toDouble() == b.toDouble();
    default:
        return a.typeId() == b.typeId() && a == b;
    }
}

void checkRoundTrip(const QVariant& value) {
    for (const auto format : {PropertyList::Format::Xml, PropertyList::Format::Binary}) {
        const char* name = format == PropertyList::Format::Xml ? "XML" : "binary";
        QString error;
        const QByteArray written = PropertyList::toData(value, format, &error);
        if (written.isEmpty()) {
            // Non-finite reals and dates beyond 32-bit seconds have no written form; that is
            // refused, with a reason, never dropped silently.
            FUZZ_CHECK(!error.isEmpty(), "writing %s failed without a reason", name);
            FUZZ_CHECK(!PropertyList::canRepresent(value),
                       "writing %s failed but the value "
                       "counts as representable",
                       name);
            continue;
        }
        QString reread;
        const QVariant again = PropertyList::fromData(written, &reread);
        FUZZ_CHECK(again.isValid(), "the %s just written cannot be read back: %s", name,
                   qPrintable(reread));
        FUZZ_CHECK(sameValue(value, again), "the %s written and read back differs: %s became %s",
                   name, qPrintable(describePropertyValue(value).left(300)),
                   qPrintable(describePropertyValue(again).left(300)));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    fuzz::initialize(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const QVariant value = PropertyList::fromData(bytes, &error);
    if (value.isValid())
        checkRoundTrip(value);
    else
        FUZZ_CHECK(!error.isEmpty(), "a refused property list gave no reason");

    // The same bytes as a launch argument: "-key <array>...</array>" is typed through the reader.
    const QVariantMap arguments =
        UserDefaults::parseArguments({QStringLiteral("-key"), QString::fromUtf8(bytes),
                                      QStringLiteral("-other"), QStringLiteral("1")});
    FUZZ_CHECK(arguments.size() == 2, "the launch arguments lost a key");
    checkRoundTrip(arguments.value(QStringLiteral("key")));
    return 0;
}
