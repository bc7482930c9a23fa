#include "lookout/Session.h"
#include "lookout/ImageCache.h"

#include <gtest/gtest.h>

using namespace zarv::lookout;

TEST(LookoutSession, FollowsTheNewestUntilTheOperatorLooksBackAndAgainAfterEnd) {
    Session s;
    EXPECT_EQ(s.current(), -1);
    s.announce({QStringLiteral("/a"), QStringLiteral("/b")});
    EXPECT_EQ(s.currentPath(), QStringLiteral("/b"));
    EXPECT_TRUE(s.following());

    s.previous();
    EXPECT_EQ(s.currentPath(), QStringLiteral("/a"));
    EXPECT_FALSE(s.following());
    // New shots join the filmstrip; the older picture under study stays on screen.
    EXPECT_EQ(s.announce({QStringLiteral("/c"), QStringLiteral("/a")}), 1);
    EXPECT_EQ(s.currentPath(), QStringLiteral("/a"));
    EXPECT_EQ(s.count(), 3);

    s.last();
    EXPECT_EQ(s.currentPath(), QStringLiteral("/c"));
    EXPECT_TRUE(s.following());
    s.announce({QStringLiteral("/d")});
    EXPECT_EQ(s.currentPath(), QStringLiteral("/d"));

    // Stepping onto the newest by hand follows again; steps stop at the ends.
    s.first();
    s.previous();
    EXPECT_EQ(s.current(), 0);
    for (int i = 0; i < 10; ++i)
        s.next();
    EXPECT_EQ(s.current(), 3);
    EXPECT_TRUE(s.following());
}

TEST(LookoutSession, TheHotFolderJoinsInNameOrderAndTheSessionStaysBounded) {
    Session s;
    s.announce({QStringLiteral("/hot/Image_3.jpg")});
    s.addHotFolder({QStringLiteral("/hot/Image_2.jpg"), QStringLiteral("/hot/Image_3.jpg"),
                    QStringLiteral("/hot/Image_1.jpg")});
    ASSERT_EQ(s.count(), 3);
    EXPECT_EQ(s.at(1), QStringLiteral("/hot/Image_1.jpg"));
    EXPECT_EQ(s.at(2), QStringLiteral("/hot/Image_2.jpg"));
    EXPECT_EQ(s.indexOf(QStringLiteral("/hot/Image_2.jpg")), 2);

    Session big;
    QStringList flood;
    for (int i = 0; i < Session::kMaxPictures + 5; ++i)
        flood << QStringLiteral("/f/%1").arg(i, 6, 10, QLatin1Char('0'));
    big.announce(flood);
    EXPECT_LE(big.count(), Session::kMaxPictures);
    EXPECT_EQ(big.currentPath(), flood.last());
    EXPECT_EQ(big.indexOf(flood.last()), big.count() - 1);
    EXPECT_EQ(big.indexOf(flood.first()), -1);
}

TEST(LookoutImageCache, DropsTheLeastRecentlyUsedPastItsBytes) {
    const QImage image(100, 100, QImage::Format_RGB32); // 40 000 bytes
    ImageCache cache(100'000);
    QStringList evicted;
    cache.setEvictionHandler([&](const QString& key) { evicted << key; });
    cache.insert(QStringLiteral("a"), image.copy());
    cache.insert(QStringLiteral("b"), image.copy());
    EXPECT_FALSE(cache.find(QStringLiteral("a")).isNull()); // a is now the most recent
    cache.insert(QStringLiteral("c"), image.copy());
    EXPECT_EQ(evicted, QStringList{QStringLiteral("b")});
    EXPECT_TRUE(cache.contains(QStringLiteral("a")));
    EXPECT_LE(cache.bytes(), cache.limit());

    // One picture larger than the whole limit stays until the next arrives.
    cache.insert(QStringLiteral("huge"), QImage(400, 400, QImage::Format_RGB32));
    EXPECT_EQ(cache.count(), 1);
    EXPECT_TRUE(cache.contains(QStringLiteral("huge")));
    cache.insert(QStringLiteral("d"), image.copy());
    EXPECT_FALSE(cache.contains(QStringLiteral("huge")));
    // An overlay that goes with a picture counts too, and leaves with it.
    cache.insert(QStringLiteral("e"), image.copy(), 40'000);
    EXPECT_FALSE(cache.contains(QStringLiteral("d")));
    EXPECT_EQ(cache.bytes(), 80'000);
    cache.remove(QStringLiteral("e"));
    EXPECT_EQ(cache.bytes(), 0);
}
