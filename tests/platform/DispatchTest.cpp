#include "platform/Dispatch.h"

#include "../TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

using namespace zarv;
using namespace std::chrono_literals;
using zarv::test::waitUntil;

TEST(Dispatch, SerialQueueRunsBlocksInOrderOnItsOwnThread) {
    auto q = DispatchQueue::createSerial("com.quellbay.test.order");
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 500; ++i)
        q->async([&, i] {
            if (running.fetch_add(1) != 0)
                overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    QThread* thread = nullptr;
    q->sync([&] { thread = QThread::currentThread(); });
    ASSERT_EQ(seen.size(), 500u);
    for (int i = 0; i < 500; ++i)
        EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped);
    EXPECT_NE(thread, QThread::currentThread());
}

TEST(Dispatch, BlocksKnowTheirQueue) {
    auto q = DispatchQueue::createSerial("com.quellbay.zarv.current.camera.queue");
    EXPECT_EQ(q->label(), "com.quellbay.zarv.current.camera.queue");
    DispatchQueue* inside = nullptr;
    bool nestedRanInline = false;
    q->sync([&] {
        inside = DispatchQueue::current();
        // A sync onto the queue one is already on must not deadlock.
        q->sync([&] { nestedRanInline = true; });
    });
    EXPECT_EQ(inside, q.get());
    EXPECT_TRUE(nestedRanInline);
    EXPECT_EQ(DispatchQueue::current(), &DispatchQueue::main());
    EXPECT_TRUE(DispatchQueue::main().isCurrent());
    EXPECT_FALSE(q->isCurrent());

    std::atomic<DispatchQueue*> onGlobal{nullptr};
    DispatchQueue::global().async([&] { onGlobal = DispatchQueue::current(); });
    EXPECT_TRUE(waitUntil([&] { return onGlobal.load() != nullptr; }));
    EXPECT_EQ(onGlobal.load(), &DispatchQueue::global());
}

TEST(Dispatch, WorkReachesTheMainThreadFromAnyQueue) {
    auto q = DispatchQueue::createSerial("com.quellbay.test.hop");
    std::atomic<QThread*> ranOn{nullptr};
    q->async([&] { DispatchQueue::main().async([&] { ranOn = QThread::currentThread(); }); });
    EXPECT_TRUE(waitUntil([&] { return ranOn.load() != nullptr; }));
    EXPECT_EQ(ranOn.load(), QCoreApplication::instance()->thread());

    // sync onto the main queue from a worker while the main thread spins its loop.
    std::atomic<bool> done{false};
    q->async([&] {
        DispatchQueue::main().sync([] {});
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
}

TEST(Dispatch, AfterWaitsAtLeastTheDelay) {
    auto q = DispatchQueue::createSerial("com.quellbay.test.after");
    for (DispatchQueue* queue : {q.get(), &DispatchQueue::main(), &DispatchQueue::global()}) {
        SCOPED_TRACE(queue->label().toStdString());
        QElapsedTimer clock;
        clock.start();
        std::atomic<qint64> firedAt{-1};
        std::atomic<DispatchQueue*> on{nullptr};
        queue->after(120ms, [&] {
            // The time last: the test reads both once it is set.
            on = DispatchQueue::current();
            firedAt = clock.elapsed();
        });
        EXPECT_TRUE(waitUntil([&] { return firedAt.load() >= 0; }));
        EXPECT_GE(firedAt.load(), 115);
        EXPECT_EQ(on.load(), queue);
    }
}

TEST(Dispatch, DelaysBeyondAnIntOfMillisecondsDoNotFireEarly) {
    // 25 days is more milliseconds than an int holds.
    constexpr auto weeks = std::chrono::hours(24 * 25);
    auto q = DispatchQueue::createSerial("com.quellbay.test.weeks");
    std::atomic<int> fired{0};
    q->after(weeks, [&] { fired++; });
    auto timer = q->createTimer(weeks, [&] { fired++; });
    waitUntil([] { return false; }, 300);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 0);
}

TEST(Dispatch, DestroyingAQueueRunsWhatWasQueued) {
    std::atomic<int> ran{0};
    {
        auto q = DispatchQueue::createSerial("com.quellbay.test.drain");
        for (int i = 0; i < 100; ++i)
            q->async([&] { ran++; });
    }
    EXPECT_EQ(ran.load(), 100);
}

TEST(Dispatch, AnExceptionInABlockDoesNotStopTheQueue) {
    auto q = DispatchQueue::createSerial("com.quellbay.test.throw");
    bool after = false;
    q->async([] { throw std::runtime_error("boom"); });
    q->sync([&] { after = true; });
    EXPECT_TRUE(after);
}

TEST(Dispatch, TimerFiresAfterOneIntervalThenRepeatsUntilCancelled) {
    auto q = DispatchQueue::createSerial("com.quellbay.test.timer");
    QElapsedTimer clock;
    clock.start();
    std::mutex m;
    std::vector<qint64> firings;
    auto timer = q->createTimer(100ms, [&] {
        std::lock_guard lock(m);
        firings.push_back(clock.elapsed());
        EXPECT_TRUE(q->isCurrent());
    });
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(m);
        return firings.size() >= 3;
    }));
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    size_t atCancel = 0;
    q->sync([&] { atCancel = firings.size(); });
    QThread::msleep(300);
    q->sync([] {});
    std::lock_guard lock(m);
    EXPECT_EQ(firings.size(), atCancel);
    EXPECT_GE(firings[0], 95);
    EXPECT_GE(firings[1] - firings[0], 50); // repeats, it does not burst
}

TEST(Dispatch, DroppingATimerStopsIt) {
    std::atomic<int> fired{0};
    auto timer = DispatchQueue::main().createTimer(20ms, [&] { fired++; });
    EXPECT_TRUE(waitUntil([&] { return fired.load() >= 1; }));
    timer.reset();
    QCoreApplication::processEvents();
    const int stopped = fired.load();
    waitUntil([] { return false; }, 150);
    EXPECT_EQ(fired.load(), stopped);
}

TEST(Dispatch, AQueueOutlivingTheApplicationStillStops) {
    // The program's queues may be released by static destructors after the application object.
    QProcess child;
    child.start(QStringLiteral(ZARV_QUEUE_EXIT_PROBE), {});
    ASSERT_TRUE(child.waitForFinished(20000)) << "the process hung at exit";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
    EXPECT_EQ(child.readAllStandardOutput(), "ran\n");
}
