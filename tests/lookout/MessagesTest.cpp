#include "lookout/Messages.h"

#include <gtest/gtest.h>

#include <climits>

using namespace zarv;
using namespace zarv::lookout;

namespace {

Notification show(const QVariant& value, const QVariant& sender = kCaptureApp,
                  const QVariant& action = kShowAction) {
    return {kLookoutNotification,
            QStringLiteral("test"),
            {{QStringLiteral("senderApp"), sender},
             {QStringLiteral("action"), action},
             {QStringLiteral("value"), value}}};
}

} // namespace

TEST(LookoutMessages, OnePathIsANewPictureAndAListIsTheHotFolder) {
    Inbound one = readInbound(show(QStringLiteral("/hot/Image_1.jpg")));
    EXPECT_EQ(one.kind, Inbound::Kind::Show);
    EXPECT_EQ(one.paths, QStringList{QStringLiteral("/hot/Image_1.jpg")});

    Inbound list =
        readInbound(show(QVariantList{QStringLiteral("/hot/b.jpg"), QStringLiteral("/hot/a.jpg"),
                                      QStringLiteral("/hot/b.jpg")},
                         kCaptureApp, QStringLiteral("NEWIMAGETODISPLAYFORLOOKOUT")));
    EXPECT_EQ(list.kind, Inbound::Kind::HotFolder);
    EXPECT_EQ(list.paths,
              (QStringList{QStringLiteral("/hot/b.jpg"), QStringLiteral("/hot/a.jpg")}));

    // An empty hot folder comes as a list of one empty text: nothing to show, nothing wrong.
    Inbound empty = readInbound(show(QVariantList{QString()}));
    EXPECT_EQ(empty.kind, Inbound::Kind::HotFolder);
    EXPECT_TRUE(empty.paths.isEmpty());
    EXPECT_TRUE(empty.problem.isEmpty());

    // Only the capture program knows the hot folder; a list from another sibling is shown.
    EXPECT_EQ(
        readInbound(show(QVariantList{QStringLiteral("/x/a.jpg")}, QStringLiteral("Tool"))).kind,
        Inbound::Kind::Show);
}

TEST(LookoutMessages, HostilePayloadsAreTypeCheckedAndBounded) {
    // Our own requests coming back, and messages without a string sender, are passed over.
    EXPECT_EQ(readInbound(show(QStringLiteral("/a.jpg"), QStringLiteral("zarvlookout.APP"))).kind,
              Inbound::Kind::Ignored);
    EXPECT_EQ(readInbound(show(QStringLiteral("/a.jpg"), qlonglong(7))).kind,
              Inbound::Kind::Ignored);
    EXPECT_EQ(readInbound(show(QStringLiteral("/a.jpg"), kCaptureApp, qlonglong(1))).kind,
              Inbound::Kind::Ignored);
    EXPECT_EQ(readInbound(show(QStringLiteral("/a.jpg"), kCaptureApp, QStringLiteral("grab"))).kind,
              Inbound::Kind::Ignored);

    Inbound wrongValue = readInbound(show(QVariantMap{{QStringLiteral("a"), 1}}));
    EXPECT_EQ(wrongValue.kind, Inbound::Kind::Ignored);
    EXPECT_FALSE(wrongValue.problem.isEmpty());

    const QString tooLong = QLatin1Char('/') + QString(PATH_MAX, QLatin1Char('x'));
    Inbound mixed = readInbound(show(QVariantList{
        QStringLiteral("/ok.jpg"), qlonglong(3), QStringLiteral("relative.jpg"), tooLong,
        QVariantList{QStringLiteral("/nested.jpg")}, QStringLiteral("/with\0nul.jpg")}));
    EXPECT_EQ(mixed.paths, QStringList{QStringLiteral("/ok.jpg")});
    EXPECT_EQ(mixed.rejected, 5);

    QVariantList flood;
    for (int i = 0; i < kMaxPathsPerMessage + 50; ++i)
        flood.append(QStringLiteral("/hot/%1.jpg").arg(i));
    Inbound many = readInbound(show(flood));
    EXPECT_EQ(many.paths.size(), kMaxPathsPerMessage);
    EXPECT_EQ(many.rejected, 50);
}

TEST(LookoutMessages, SavedPicturesAndTheCaptureProgramsStatus) {
    Inbound saved = readInbound({kSavedNotification,
                                 QStringLiteral("test"),
                                 {{QStringLiteral("senderApp"), kCaptureApp},
                                  {QStringLiteral("filePath"), QStringLiteral("/hot/a.nef")}}});
    EXPECT_EQ(saved.kind, Inbound::Kind::Saved);
    EXPECT_EQ(saved.paths, QStringList{QStringLiteral("/hot/a.nef")});

    Inbound notAPath = readInbound({kSavedNotification,
                                    QStringLiteral("test"),
                                    {{QStringLiteral("senderApp"), kCaptureApp},
                                     {QStringLiteral("filePath"), QByteArray("/hot/a.nef")}}});
    EXPECT_EQ(notAPath.kind, Inbound::Kind::Ignored);

    Inbound status =
        readInbound({kSavedNotification,
                     {},
                     {{QStringLiteral("senderApp"), kCaptureApp},
                      {QStringLiteral("cameraName"), QStringLiteral("NIKON DSC D850")},
                      {QStringLiteral("cameraStatus"), qlonglong(1)},
                      {QStringLiteral("senderAppStatus"), QStringLiteral("statusAppLaunched")}}});
    EXPECT_EQ(status.kind, Inbound::Kind::Status);
    EXPECT_EQ(status.cameraConnected, true);
    EXPECT_EQ(status.cameraName, QStringLiteral("NIKON DSC D850"));
    EXPECT_TRUE(status.launched);
    // A status with a string where the number belongs says nothing about the camera.
    Inbound odd = readInbound({kSavedNotification,
                               {},
                               {{QStringLiteral("senderApp"), kCaptureApp},
                                {QStringLiteral("cameraStatus"), QStringLiteral("1")}}});
    EXPECT_FALSE(odd.cameraConnected.has_value());
}
