#include "ui/ViewAdditions.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "ui/PathTransformer.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

using namespace zarv;

namespace {

QWidget* named(QWidget* parent, const QString& name) {
    auto* w = new QWidget(parent);
    w->setObjectName(name);
    return w;
}

TEST(ViewAdditions, FindsDirectChildrenOnlyWithoutRegardToCase) {
    QWidget view;
    new QWidget(&view); // unnamed
    auto* plain = new QObject(&view);
    plain->setObjectName(QStringLiteral("plain"));
    auto* bottom = new QLabel(&view);
    bottom->setObjectName(QStringLiteral("bottomView"));
    QWidget* dbug = named(&view, QStringLiteral("dbug"));
    named(dbug, QStringLiteral("deep"));
    QWidget* first = named(&view, QStringLiteral("twin"));
    named(&view, QStringLiteral("TWIN"));

    EXPECT_EQ(findSubviewWithIdentifier(&view, QStringLiteral("BOTTOMVIEW")), bottom);
    EXPECT_EQ(findSubviewWithIdentifier(&view, QStringLiteral("dbug")), dbug);
    EXPECT_EQ(findSubviewWithIdentifier(&view, QStringLiteral("twin")), first);
    // Grandchildren and objects that are no widgets are not views of this one.
    EXPECT_EQ(findSubviewWithIdentifier(&view, QStringLiteral("deep")), nullptr);
    EXPECT_EQ(findSubviewWithIdentifier(&view, QStringLiteral("plain")), nullptr);
    // An empty identifier names nothing, though unnamed children have an empty name.
    EXPECT_EQ(findSubviewWithIdentifier(&view, QString()), nullptr);
    EXPECT_EQ(findSubviewWithIdentifier(nullptr, QStringLiteral("dbug")), nullptr);
}

TEST(ViewAdditions, TagIsAWholeNumberOrMinusOne) {
    QObject o;
    EXPECT_EQ(tagOf(&o), -1);
    EXPECT_EQ(tagOf(nullptr), -1);
    const std::pair<QVariant, int> cases[] = {
        {0, 0},
        {5, 5},
        {-7, -7},
        {qlonglong(3), 3},
        {QStringLiteral(" 4 "), 4},
        {QStringLiteral("four"), -1},
        {true, -1},
        {qlonglong(1) << 40, -1},
        {QVariantList{2}, -1},
    };
    for (const auto& [value, tag] : cases) {
        o.setProperty("tag", value);
        EXPECT_EQ(tagOf(&o), tag) << value.toString().toStdString();
    }
}

// A bundle with an image in both forms and one only as a bitmap.
class PathTransformerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        resources = dir.filePath(QStringLiteral("Test.app/Contents/Resources"));
        ASSERT_TRUE(QDir().mkpath(resources));
        for (const char* name : {"Both.svg", "Both.png", "Bitmap.png", "Other.txt"}) {
            QFile f(resources + u'/' + QLatin1String(name));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        }
        Bundle::setMainBundlePath(dir.filePath(QStringLiteral("Test.app")));
    }
    void TearDown() override { Bundle::setMainBundlePath({}); }

    QTemporaryDir dir;
    QString resources;
};

// The answer is the image file itself, one a picture can be loaded from.
TEST_F(PathTransformerTest, NameGivesTheImageFileItself) {
    EXPECT_EQ(PathTransformer::transformedValue(QStringLiteral("Both")),
              resources + QStringLiteral("/Both.svg"));
    EXPECT_EQ(PathTransformer::transformedValue(QStringLiteral("Bitmap")),
              resources + QStringLiteral("/Bitmap.png"));
    EXPECT_EQ(PathTransformer::transformedValue(QStringLiteral("Both.png")),
              resources + QStringLiteral("/Both.png"));
    EXPECT_FALSE(PathTransformer::allowsReverseTransformation());
}

TEST_F(PathTransformerTest, NoPathForMissingOrOutsideNames) {
    for (const QString& name : {QString(), QStringLiteral("Missing"), QStringLiteral("Other"),
                                QStringLiteral("Other.txt"), QStringLiteral("../Resources/Both"),
                                QStringLiteral("/etc/passwd"), QStringLiteral("..")})
        EXPECT_TRUE(PathTransformer::transformedValue(name).isEmpty()) << name.toStdString();
}

} // namespace
