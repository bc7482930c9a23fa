#include "platform/PropertyList.h"

#include "../TestSupport.h"
#include "HostileFiles.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <unistd.h>

using namespace zarv;
using zarv::test::dataPath;

namespace {

// The value tests/data/make_plist_fixtures.py writes.
QVariantMap fixtureValue() {
    QByteArray all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<char>(i);
    return {
        {"string", QStringLiteral("Zarv Nikon \u2013 \u00fcn\u00efcode \u2713 <&>")},
        {"empty_string", QString()},
        {"int", 42LL},
        {"negative", -7LL},
        {"big", (1LL << 40) + 5},
        {"int64max", std::numeric_limits<qlonglong>::max()},
        {"int64min", std::numeric_limits<qlonglong>::min()},
        {"real", 3.25},
        {"tiny", 1.5e-300},
        {"yes", true},
        {"no", false},
        {"date", QDateTime(QDate(2024, 5, 17), QTime(12, 34, 56), Qt::UTC)},
        {"old_date", QDateTime(QDate(1990, 1, 2), QTime(3, 4, 5), Qt::UTC)},
        {"data", all},
        {"array", QVariantList{1LL, "two", QVariantList{3.0}, QVariantMap{{"four", 4LL}}}},
        {"nested",
         QVariantMap{
             {"deeper",
              QVariantMap{{"deepest",
                           QVariantList{true, QVariantMap{{"k", QByteArray("\x00\x01", 2)}}}}}}}},
        {"empty_dict", QVariantMap()},
        {"empty_array", QVariantList()},
    };
}

// Compares structurally, with the types a reader must produce.
void expectSame(const QVariant& expected, const QVariant& actual, const QString& where = "root") {
    SCOPED_TRACE(where.toStdString());
    switch (expected.typeId()) {
    case QMetaType::QVariantMap: {
        ASSERT_EQ(actual.typeId(), QMetaType::QVariantMap);
        const QVariantMap e = expected.toMap(), a = actual.toMap();
        EXPECT_EQ(e.keys(), a.keys());
        for (auto it = e.cbegin(); it != e.cend(); ++it)
            expectSame(it.value(), a.value(it.key()), where + "." + it.key());
        break;
    }
    case QMetaType::QVariantList: {
        ASSERT_EQ(actual.typeId(), QMetaType::QVariantList);
        const QVariantList e = expected.toList(), a = actual.toList();
        ASSERT_EQ(e.size(), a.size());
        for (qsizetype i = 0; i < e.size(); ++i)
            expectSame(e[i], a[i], where + QStringLiteral("[%1]").arg(i));
        break;
    }
    case QMetaType::LongLong:
        ASSERT_EQ(actual.typeId(), QMetaType::LongLong);
        EXPECT_EQ(expected.toLongLong(), actual.toLongLong());
        break;
    case QMetaType::Double:
        ASSERT_EQ(actual.typeId(), QMetaType::Double);
        EXPECT_DOUBLE_EQ(expected.toDouble(), actual.toDouble());
        break;
    case QMetaType::QDateTime:
        ASSERT_EQ(actual.typeId(), QMetaType::QDateTime);
        EXPECT_EQ(expected.toDateTime().toMSecsSinceEpoch(),
                  actual.toDateTime().toMSecsSinceEpoch());
        break;
    default:
        EXPECT_EQ(expected.typeId(), actual.typeId());
        EXPECT_EQ(expected, actual);
    }
}

} // namespace

TEST(PropertyList, ReadsFilesWrittenByAnotherImplementation) {
    for (const char* name : {"all_types.xml.plist", "all_types.binary.plist"}) {
        SCOPED_TRACE(name);
        QString error;
        const QVariant value = PropertyList::readFile(dataPath(name), &error);
        ASSERT_TRUE(value.isValid()) << error.toStdString();
        expectSame(fixtureValue(), value);
    }
}

TEST(PropertyList, RoundTripsEveryTypeInBothFormats) {
    QVariantMap value = fixtureValue();
    value.insert("before_2001", QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59), Qt::UTC));
    for (auto format : {PropertyList::Format::Xml, PropertyList::Format::Binary}) {
        SCOPED_TRACE(format == PropertyList::Format::Xml ? "xml" : "binary");
        QString error;
        const QByteArray bytes = PropertyList::toData(value, format, &error);
        ASSERT_FALSE(bytes.isEmpty()) << error.toStdString();
        expectSame(value, PropertyList::fromData(bytes, &error));
    }
    // Dates keep their whole seconds.
    const QDateTime precise = QDateTime::fromMSecsSinceEpoch(1700000000789LL, Qt::UTC);
    const QVariant back = PropertyList::fromData(
        PropertyList::toData(QVariantList{precise}, PropertyList::Format::Binary));
    EXPECT_EQ(back.toList().value(0).toDateTime().toSecsSinceEpoch(), precise.toSecsSinceEpoch());
}

TEST(PropertyList, AcceptsQtConvenienceTypes) {
    const QVariantMap in{
        {"int", 5}, {"uint", 7u}, {"list", QStringList{"a", "b"}}, {"float", 1.5f}};
    const QVariant out =
        PropertyList::fromData(PropertyList::toData(in, PropertyList::Format::Xml));
    expectSame(QVariantMap(
                   {{"int", 5LL}, {"uint", 7LL}, {"list", QVariantList{"a", "b"}}, {"float", 1.5}}),
               out);
}

TEST(PropertyList, BadFilesGiveAnErrorNamingTheFileAndReason) {
    const struct {
        const char* file;
        const char* reason;
    } cases[] = {
        {"truncated.binary.plist", "truncated binary"}, {"truncated.xml.plist", "truncated XML"},
        {"garbage.plist", "not a property list"},       {"not_a_plist.json", "not a property list"},
        {"no_such_file.plist", "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        QString error;
        EXPECT_FALSE(PropertyList::readFile(dataPath(c.file), &error).isValid());
        EXPECT_TRUE(error.contains(dataPath(c.file))) << error.toStdString();
        EXPECT_TRUE(error.contains(c.reason)) << error.toStdString();
    }
    QString error;
    EXPECT_FALSE(PropertyList::fromData(QByteArray(), &error).isValid());
    EXPECT_FALSE(error.isEmpty());
}

TEST(PropertyList, OnlyRegularFilesOfBoundedSizeAreRead) {
    QTemporaryDir dir;
    for (const auto kind : zarv::test::kHostileFiles) {
        SCOPED_TRACE(zarv::test::describe(kind));
        const QString path = dir.filePath(QStringLiteral("%1.plist").arg(int(kind)));
        ASSERT_TRUE(zarv::test::makeHostileFile(path, kind));
        QElapsedTimer clock;
        clock.start();
        auto reading = std::async(std::launch::async, [path] {
            QString error;
            const bool read = PropertyList::readFile(path, &error).isValid();
            return std::make_pair(read, error);
        });
        if (reading.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
            ADD_FAILURE() << "the read blocked";
            // Release a reader stuck on the pipe so that the test can end.
            const int writer = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
        const auto [read, error] = reading.get();
        EXPECT_FALSE(read);
        EXPECT_LT(clock.elapsed(), 2000);
        EXPECT_TRUE(error.contains(path)) << error.toStdString();
    }
    // A regular file behind a link is still a regular file.
    const QString real = dir.filePath("real.plist");
    ASSERT_TRUE(PropertyList::writeFile(real, QVariantMap{{"a", 1}}));
    ASSERT_TRUE(QFile::link(real, dir.filePath("link.plist")));
    EXPECT_EQ(PropertyList::readFile(dir.filePath("link.plist")), QVariantMap({{"a", 1LL}}));
}

// A caller's own limit: a file of exactly the limit is read whole, one byte more is refused as
// too large, and other failures are not mistaken for size.
TEST(PropertyList, BoundedReadHonoursTheCallersLimit) {
    QTemporaryDir dir;
    const QString path = dir.filePath("list.plist");
    const QByteArray bytes = PropertyList::toData(QVariantMap{{"a", 1}}, PropertyList::Format::Xml);
    ASSERT_TRUE(PropertyList::writeFileAtomically(path, bytes));
    QString error;
    bool tooLarge = true;
    EXPECT_EQ(PropertyList::readFileData(path, bytes.size(), &error, &tooLarge), bytes);
    EXPECT_FALSE(tooLarge);
    EXPECT_EQ(PropertyList::readFileData(path, bytes.size() - 1, &error, &tooLarge), std::nullopt);
    EXPECT_TRUE(tooLarge);
    EXPECT_EQ(error, QStringLiteral("it is larger than %1 bytes").arg(bytes.size() - 1));
    EXPECT_EQ(PropertyList::readFileData(dir.filePath("none"), 100, &error, &tooLarge),
              std::nullopt);
    EXPECT_FALSE(tooLarge);

    EXPECT_FALSE(PropertyList::isBinary(bytes));
    EXPECT_TRUE(PropertyList::isBinary(
        PropertyList::toData(QVariantMap{{"a", 1}}, PropertyList::Format::Binary)));
    EXPECT_FALSE(PropertyList::isBinary(QByteArray("bplist")));
}

TEST(PropertyList, HostileNestingIsRefusedNotFollowed) {
    QByteArray xml = "<plist version=\"1.0\">";
    for (int i = 0; i < 2000; ++i)
        xml += "<array>";
    for (int i = 0; i < 2000; ++i)
        xml += "</array>";
    xml += "</plist>";
    QString error;
    EXPECT_FALSE(PropertyList::fromData(xml, &error).isValid());
    EXPECT_TRUE(error.contains("nesting")) << error.toStdString();
}

TEST(PropertyList, ValuesWithoutAPlistFormAreRefusedWithTheirPlace) {
    QString error;
    const QVariantMap bad{{"ok", 1}, {"inner", QVariantMap{{"hole", QVariant()}}}};
    EXPECT_TRUE(PropertyList::toData(bad, PropertyList::Format::Xml, &error).isEmpty());
    EXPECT_TRUE(error.contains("inner.hole")) << error.toStdString();
    EXPECT_FALSE(PropertyList::canRepresent(QVariantList{std::numeric_limits<double>::infinity()}));
    EXPECT_TRUE(PropertyList::canRepresent(QVariantMap{{"a", QVariantList{1, "b"}}}));
}

TEST(PropertyList, FailedWriteLeavesThePreviousFileWhole) {
    QTemporaryDir dir;
    const QString path = dir.filePath("settings.plist");
    ASSERT_TRUE(PropertyList::writeFile(path, QVariantMap{{"keep", "me"}}));
    const QByteArray before = [&] {
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();

    QString error;
    EXPECT_FALSE(PropertyList::writeFile(path, QVariantMap{{"bad", QVariant()}},
                                         PropertyList::Format::Xml, &error));
    EXPECT_TRUE(error.contains(path));
    // A target the rename cannot replace.
    QDir(dir.path()).mkdir("occupied.plist");
    EXPECT_FALSE(PropertyList::writeFile(dir.filePath("occupied.plist"), QVariantMap{{"a", 1}},
                                         PropertyList::Format::Xml, &error));

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(before, f.readAll());
    // No temporary files left behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"settings.plist"});
}
