#include "lookout/Loader.h"
#include "LookoutTestSupport.h"

#include <gtest/gtest.h>

using namespace zarv::lookout;
using zarv::lookout::test::Pictures;
using zarv::lookout::test::spinUntil;

TEST(LookoutLoader, DecodesOffTheMainThreadFittedOrFullAndServesTheCacheAtOnce) {
    Pictures pictures;
    // Without an EXIF thumbnail: no quick stand-in goes first.
    const QString a = pictures.jpeg(QStringLiteral("a.jpg"), {1600, 1200}, 1, false);
    Loader loader;
    loader.setViewBox({400, 400});
    std::vector<std::shared_ptr<const Shown>> got;
    std::vector<bool> cachedWhenShown; // whether the loader had kept it by then
    QObject::connect(&loader, &Loader::shown, [&](std::shared_ptr<const Shown> s) {
        cachedWhenShown.push_back(loader.cached(s->path, s->full) != nullptr);
        got.push_back(std::move(s));
    });
    loader.request(a, false);
    EXPECT_TRUE(got.empty()); // not on this thread
    // Handed over to be drawn first, then again with its histogram: the same pixels.
    ASSERT_TRUE(spinUntil([&] { return got.size() == 2; }));
    EXPECT_EQ(got[0]->decoded.image.size(), QSize(400, 300));
    EXPECT_FALSE(got[0]->analysed);
    // Not kept without its histogram; kept once it has one.
    EXPECT_FALSE(cachedWhenShown[0]);
    EXPECT_TRUE(cachedWhenShown[1]);
    EXPECT_EQ(loader.cached(a, false), got[1]);
    EXPECT_TRUE(got[1]->analysed);
    EXPECT_EQ(got[1]->decoded.image.cacheKey(), got[0]->decoded.image.cacheKey());
    EXPECT_FALSE(got[1]->histogram.isEmpty());
    EXPECT_TRUE(got[1]->clipping.isNull());
    EXPECT_LE(got[1]->askedAt, got[1]->startedAt);
    EXPECT_LE(got[1]->startedAt, got[1]->decodedAt);

    loader.request(a, false); // from the cache, before request() returns
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], got[2]);

    loader.request(a, true);
    ASSERT_TRUE(spinUntil([&] { return got.size() == 5; }));
    EXPECT_TRUE(got.back()->full);
    EXPECT_EQ(got.back()->decoded.image.size(), QSize(1600, 1200));

    loader.setClipping(true); // made again, with the overlay
    loader.request(a, false);
    ASSERT_TRUE(spinUntil([&] { return got.size() == 7; }));
    EXPECT_EQ(got.back()->clipping.size(), got.back()->decoded.image.size());

    // A bad file is said so once, and not kept: it may be whole the next time.
    const QString bad = pictures.file(QStringLiteral("bad.jpg"), "nothing");
    loader.request(bad, false);
    ASSERT_TRUE(spinUntil([&] { return got.size() == 8; }));
    EXPECT_FALSE(got.back()->decoded.error.isEmpty());
    EXPECT_EQ(loader.cached(bad, false), nullptr);
    spinUntil([] { return false; }, 200);
    EXPECT_EQ(got.size(), 8u);

    // Clipping turned on while the picture is still being made without it: made again with it,
    // and the one without is neither shown nor kept as if it had it.
    const QString b = pictures.jpeg(QStringLiteral("b.jpg"), {1600, 1200});
    loader.setClipping(false);
    loader.request(b, false);
    loader.setClipping(true);
    loader.request(b, false);
    ASSERT_TRUE(spinUntil([&] { return loader.cached(b, false) != nullptr; }));
    EXPECT_FALSE(loader.cached(b, false)->clipping.isNull());
    EXPECT_FALSE(got.back()->clipping.isNull());
    for (size_t i = 8; i < got.size(); ++i)
        EXPECT_TRUE(got[i]->withClipping);
}

TEST(LookoutLoader, AQuickStandInOfTheSameFileGoesFirstAndIsNeverKept) {
    Pictures pictures;
    const QString a = pictures.jpeg(QStringLiteral("a.jpg"), {1600, 1200});
    const QString b = pictures.jpeg(QStringLiteral("b.jpg"), {1600, 1200});
    // 3:2, so that its 160 x 120 thumbnail has black bars to take off.
    const QString nef = pictures.nef(QStringLiteral("c.nef"), {1800, 1200});
    Loader loader;
    loader.setViewBox({400, 400});
    std::vector<std::shared_ptr<const Shown>> got;
    QObject::connect(&loader, &Loader::shown, [&](std::shared_ptr<const Shown> s) {
        if (s->decoded.quick) {
            EXPECT_EQ(loader.cached(s->path, s->full), nullptr);
        }
        got.push_back(std::move(s));
    });
    for (const QString& path : {a, nef}) {
        got.clear();
        loader.request(path, false);
        ASSERT_TRUE(spinUntil([&] { return got.size() == 3; })) << qPrintable(path);
        EXPECT_TRUE(got[0]->decoded.quick);
        EXPECT_FALSE(got[1]->decoded.quick);
        EXPECT_FALSE(got[2]->decoded.quick);
        for (const auto& s : got)
            EXPECT_EQ(s->path, path);
        // Drawn where and as large as the picture that replaces it.
        EXPECT_EQ(got[0]->decoded.image.size(), got[1]->decoded.image.size());
        EXPECT_EQ(got[0]->decoded.fullSize, got[1]->decoded.fullSize);
        EXPECT_EQ(got[0]->decoded.preview, path == nef);
        EXPECT_EQ(loader.cached(path, false), got[2]);
    }
    // At 100 % the fitted picture stands in: nothing quick.
    got.clear();
    loader.request(a, true);
    ASSERT_TRUE(spinUntil([&] { return got.size() == 2; }));
    EXPECT_FALSE(got[0]->decoded.quick);
    // Superseded at once: nothing of the first, not even its stand-in, is ever handed over.
    got.clear();
    loader.request(b, false);
    loader.request(nef, true);
    ASSERT_TRUE(spinUntil([&] { return got.size() == 2; }));
    spinUntil([] { return false; }, 300);
    for (const auto& s : got)
        EXPECT_EQ(s->path, nef);
}

TEST(LookoutLoader, AFloodOfRequestsDecodesTheLastNotEveryOne) {
    Pictures pictures;
    QStringList paths;
    for (int i = 0; i < 40; ++i)
        paths << pictures.jpeg(QStringLiteral("p%1.jpg").arg(i), {800, 600});
    Loader loader;
    loader.setViewBox({200, 200});
    QStringList shownPaths;
    QObject::connect(&loader, &Loader::shown,
                     [&](std::shared_ptr<const Shown> s) { shownPaths << s->path; });
    for (const QString& p : paths)
        loader.request(p, false);
    ASSERT_TRUE(spinUntil([&] { return shownPaths.contains(paths.last()); }));
    spinUntil([] { return false; }, 300);
    EXPECT_EQ(shownPaths.last(), paths.last());
    // Superseded requests that had not started were never decoded, let alone shown.
    EXPECT_LT(shownPaths.size(), 5) << qPrintable(shownPaths.join(QLatin1Char(' ')));
}

TEST(LookoutLoader, ThumbnailsComeOnTheirOwnThreadAndStayWithinTheirCache) {
    Pictures pictures;
    QStringList paths;
    for (int i = 0; i < 6; ++i)
        paths << pictures.jpeg(QStringLiteral("t%1.jpg").arg(i), {640, 480});
    paths << pictures.file(QStringLiteral("bad.jpg"), "x");
    Loader loader;
    QStringList ready;
    QObject::connect(&loader, &Loader::thumbnailReady, [&](const QString& p) { ready << p; });
    EXPECT_TRUE(loader.thumbnail(paths[0]).isNull()); // asked for
    loader.queueThumbnails(paths);
    ASSERT_TRUE(spinUntil([&] { return ready.size() == paths.size(); }));
    EXPECT_EQ(loader.thumbnailsReady(), 6);
    EXPECT_EQ(loader.thumbnailsPending(), 0);
    EXPECT_LE(loader.thumbnail(paths[3]).width(), Loader::thumbnailBox().width());
    EXPECT_TRUE(loader.thumbnail(paths.last()).isNull()); // failed, and not asked again
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(ready.size(), paths.size());
}
