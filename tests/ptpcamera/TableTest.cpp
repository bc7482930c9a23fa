// The factory table's rows for the bodies this module drives.

#include "platform/PropertyList.h"

#include <gtest/gtest.h>

#include <QSet>

namespace {

TEST(PtpTable, NikonBodiesPointAtThePtpModule) {
    QString error;
    const QVariantMap list =
        zarv::PropertyList::readFile(
            QStringLiteral(ZARV_APP_DIR "/Contents/Resources/FactoryDefaultNikonList.plist"),
            &error)
            .toMap();
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    const QVariantMap table = list.value(QStringLiteral("LookupTable")).toMap();
    int rows = 0;
    QSet<qlonglong> products;
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const QVariantMap entry = it.value().toMap();
        if (entry.value(QStringLiteral("modulename")).toString() !=
            QLatin1String("ZarvPTP Module.bundle"))
            continue;
        ++rows;
        SCOPED_TRACE(it.key().toStdString());
        // Keyed by the name the body reports on USB, which the row repeats.
        EXPECT_TRUE(it.key().startsWith(QLatin1String("NIKON DSC ")));
        EXPECT_EQ(entry.value(QStringLiteral("devicename")).toString(), it.key());
        const qlonglong product = entry.value(QStringLiteral("productid")).toLongLong();
        EXPECT_GT(product, 0);
        EXPECT_FALSE(products.contains(product)) << "two bodies share product id " << product;
        products.insert(product);
    }
    EXPECT_GE(rows, 40);
    EXPECT_TRUE(table.contains(QStringLiteral("NIKON DSC D850")));
    EXPECT_EQ(
        table.value(QStringLiteral("NIKON DSC D850")).toMap().value(QStringLiteral("productid")),
        QVariant(qlonglong(0x0441)));
}

} // namespace
