#include "platform/NotificationCenter.h"

#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace zarv;

TEST(NotificationCenter, DeliversByNameSynchronouslyOnThePostingThread) {
    NotificationCenter center;
    std::vector<QString> seen;
    std::thread::id seenOn;
    center.addObserver("com.quellbay.ZarvNikonCamera", [&](const Notification& n) {
        seen.push_back(n.name + ":" + n.userInfo.value("deviceName").toString());
        seenOn = std::this_thread::get_id();
    });
    center.addObserver({}, [&](const Notification& n) { seen.push_back("any:" + n.name); });

    std::thread([&] {
        center.post("com.quellbay.ZarvNikonCamera", {}, {{"deviceName", "D850"}});
        EXPECT_EQ(seenOn, std::this_thread::get_id());
    }).join();
    center.post("com.quellbay.ZarvNikonCamera.device.removed");
    EXPECT_EQ(seen, (std::vector<QString>{"com.quellbay.ZarvNikonCamera:D850",
                                          "any:com.quellbay.ZarvNikonCamera",
                                          "any:com.quellbay.ZarvNikonCamera.device.removed"}));
}

TEST(NotificationCenter, ObserversMayRemoveThemselvesAndOthersWhileCalled) {
    NotificationCenter center;
    int first = 0, second = 0;
    NotificationCenter::Token t1 = 0, t2 = 0;
    t1 = center.addObserver("n", [&](const Notification&) {
        ++first;
        center.removeObserver(t1);
        center.removeObserver(t2); // removed before its turn: not called
    });
    t2 = center.addObserver("n", [&](const Notification&) { ++second; });
    center.post("n");
    center.post("n");
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, PostingAndObservingFromManyThreadsIsSafe) {
    NotificationCenter center;
    std::atomic<int> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto token = center.addObserver("tick", [&](const Notification&) { calls++; });
                center.post("tick");
                center.removeObserver(token);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_GE(calls.load(), 800); // each post reaches at least its own observer
}

#include "platform/Log.h"

TEST(Log, EntryLinesHaveTheFamilyFormatAndReachTheSink) {
    Log::install("test_platform");
    QStringList lines;
    Log::setSink([&](QtMsgType, const QString& line) { lines << line; });
    Log::inside(zarvApp, "AppDelegate", "applicationDidFinishLaunching:");
    Log::inside(zarvSession, "Session", "open:", "source = [1]");
    qWarning("plain %d", 7);
    Log::diagnostic("to standard output only\n");
    Log::setSink({});
    EXPECT_EQ(lines, (QStringList{"Inside AppDelegate => applicationDidFinishLaunching:...",
                                  "Inside Session => open:...source = [1]", "plain 7"}));
}

TEST(Log, OneLayersDebugOutputIsTurnedOnAlone) {
    Log::install("test_platform");
    QStringList lines;
    Log::setSink([&](QtMsgType, const QString& line) { lines << line; });
    qCDebug(zarvSdk, "sdk debug, off");
    qCInfo(zarvSdk, "sdk info");
    QLoggingCategory::setFilterRules(QStringLiteral("zarv.sdk.debug=true"));
    qCDebug(zarvSdk, "sdk debug, on");
    qCDebug(zarvSession, "session debug, off");
    QLoggingCategory::setFilterRules(QString());
    Log::setSink({});
    EXPECT_EQ(lines, (QStringList{"sdk info", "sdk debug, on"}));
}
