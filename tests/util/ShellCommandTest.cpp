#include "util/ShellCommand.h"
#include "util/DispatchTimer.h"

#include "../TestSupport.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

using namespace zarv;

namespace {
void customHandler(int) {}

// Installs customHandler for SIGCHLD and puts the previous handling back, even when a fatal
// assertion ends the test early.
class CustomChildHandler {
public:
    CustomChildHandler() {
        struct sigaction mine = {};
        mine.sa_handler = customHandler;
        sigemptyset(&mine.sa_mask);
        sigaction(SIGCHLD, &mine, &m_saved);
    }
    ~CustomChildHandler() { sigaction(SIGCHLD, &m_saved, nullptr); }
    CustomChildHandler(const CustomChildHandler&) = delete;
    CustomChildHandler& operator=(const CustomChildHandler&) = delete;

private:
    struct sigaction m_saved = {};
};
} // namespace

TEST(ShellCommand, ReturnsOutputOrNothingAtAll) {
    EXPECT_EQ(runShellCommand("printf 'hello\\nw\\303\\266rld'"), QString("hello\nw\u00f6rld"));
    EXPECT_FALSE(runShellCommand("true").has_value());          // no output is none, not ""
    EXPECT_FALSE(runShellCommand("echo oops >&2").has_value()); // only standard output counts
    EXPECT_FALSE(runShellCommand("/no/such/command").has_value());
}

TEST(ShellCommand, CapsTheOutput) {
    const auto out = runShellCommand("head -c 700000 /dev/zero | tr '\\0' a");
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->size(), static_cast<qsizetype>(kShellOutputLimit));
}

TEST(ShellCommand, RestoresTheChildSignalHandler) {
    const CustomChildHandler handler;
    runShellCommand("echo x");
    struct sigaction now = {};
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &customHandler);
}

TEST(ShellCommand, ConcurrentCallersLeaveTheChildSignalHandlerAsTheyFoundIt) {
    const CustomChildHandler handler;
    // Calls that start together and end at different times, as from the thread pool.
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        std::atomic<int> right{0};
        std::vector<std::thread> callers;
        for (int i = 0; i < 6; ++i)
            callers.emplace_back([i, &right] {
                const QString command = QStringLiteral("sleep 0.0%1; echo %2").arg(i % 4).arg(i);
                if (runShellCommand(command) == QStringLiteral("%1\n").arg(i))
                    right++;
            });
        for (auto& caller : callers)
            caller.join();
        EXPECT_EQ(right.load(), 6);
        struct sigaction now = {};
        sigaction(SIGCHLD, nullptr, &now);
        ASSERT_EQ(now.sa_handler, &customHandler) << "SIGCHLD left ignored";
    }
}

TEST(CreateDispatchTimer, RefusesWhatCannotBeATimer) {
    auto q = DispatchQueue::createSerial("com.quellbay.test.refuse");
    EXPECT_EQ(CreateDispatchTimer(1.0, nullptr, [] {}), nullptr);
    EXPECT_EQ(CreateDispatchTimer(0.0, q.get(), [] {}), nullptr);
    EXPECT_EQ(CreateDispatchTimer(-1.0, q.get(), [] {}), nullptr);
    EXPECT_EQ(CreateDispatchTimer(std::nan(""), q.get(), [] {}), nullptr);
}

TEST(CreateDispatchTimer, FiresOneIntervalAfterCreationThenEveryIntervalOnTheGivenQueue) {
    auto q = DispatchQueue::createSerial("com.quellbay.zarv.nikon.scanUserNotificationQueue");
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> firings; // touched on the queue only
    std::atomic<int> count{0};
    std::atomic<bool> onQueue{true};
    auto timer = CreateDispatchTimer(0.25, q.get(), [&] {
        firings.push_back(clock.elapsed());
        onQueue = onQueue && q->isCurrent();
        count++;
    });
    ASSERT_NE(timer, nullptr);
    EXPECT_TRUE(zarv::test::waitUntil([&] { return count.load() >= 4; }));
    timer->cancel();
    q->sync([] {});
    ASSERT_GE(firings.size(), 4u);
    // Firing n is due n intervals after creation: never sooner, and on average not much later.
    for (size_t i = 0; i < firings.size(); ++i)
        EXPECT_GE(firings[i], qint64(i + 1) * 250 - 10) << "firing " << i;
    const qint64 period = (firings[3] - firings[0]) / 3;
    EXPECT_GE(period, 200);
    EXPECT_LT(period, 500);
    EXPECT_TRUE(onQueue.load());
}

TEST(CreateDispatchTimer, IntervalsOfWeeksWaitTheirTurn) {
    // Longer than an int of milliseconds holds.
    auto q = DispatchQueue::createSerial("com.quellbay.test.weeks");
    std::atomic<int> fired{0};
    auto timer = CreateDispatchTimer(30.0 * 86400, q.get(), [&] { fired++; });
    ASSERT_NE(timer, nullptr);
    zarv::test::waitUntil([] { return false; }, 300);
    q->sync([] {});
    EXPECT_EQ(fired.load(), 0);
}
