#include "platform/TTimer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Records when the timer fires, as milliseconds since the test began.
struct TickLog
{
    TTimer timer;
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    TickLog()
    {
        clock.start();
        timer.OnTimer = [this] { ticks.push_back(clock.elapsed()); };
    }
    void Wait(int ms) { QTest::qWait(ms); }
};

TEST(TTimer, StartsDisabledWithIntervalHundred)
{
    TTimer timer;
    EXPECT_EQ(timer.Interval(), 100u);
    EXPECT_FALSE(timer.Enabled());
    EXPECT_FALSE(timer.IsCounting());
}

TEST(TTimer, FiresPeriodicallyAndNeverEarly)
{
    TickLog log;
    log.timer.SetInterval(40);
    log.timer.SetEnabled(true);
    log.Wait(150);
    log.timer.SetEnabled(false);
    ASSERT_GE(log.ticks.size(), 2u);
    for (size_t i = 0; i < log.ticks.size(); ++i) {
        EXPECT_GE(log.ticks[i], static_cast<qint64>(40 * (i + 1))) << "tick " << i;
    }
}

TEST(TTimer, SameValueDoesNotRestartButNewValueDoes)
{
    TickLog log;
    log.timer.SetInterval(120);
    log.timer.SetEnabled(true);
    log.Wait(70);
    log.timer.SetInterval(120);  // same: the countdown goes on
    log.timer.SetEnabled(true);
    log.Wait(80);
    ASSERT_EQ(log.ticks.size(), 1u);
    EXPECT_LT(log.ticks[0], 145);

    const qint64 changedAt = log.clock.elapsed();
    log.timer.SetInterval(60);
    log.timer.SetInterval(100);  // different: restarts from the full new value
    log.Wait(160);
    ASSERT_EQ(log.ticks.size(), 2u);
    EXPECT_GE(log.ticks[1] - changedAt, 100);
}

TEST(TTimer, ZeroIntervalOrDisabledNeverFires)
{
    TickLog log;
    log.timer.SetInterval(0);
    log.timer.SetEnabled(true);
    log.Wait(60);
    EXPECT_TRUE(log.ticks.empty());
    EXPECT_FALSE(log.timer.IsCounting());

    const qint64 setAt = log.clock.elapsed();
    log.timer.SetInterval(50);
    log.Wait(120);
    ASSERT_GE(log.ticks.size(), 1u);
    EXPECT_GE(log.ticks[0] - setAt, 50);

    log.timer.SetEnabled(false);
    const size_t before = log.ticks.size();
    log.Wait(120);
    EXPECT_EQ(log.ticks.size(), before);
}

TEST(TTimer, HandlerErrorIsShownAndTimerKeepsItsSettings)
{
    TTimer timer;
    int calls = 0;
    timer.OnTimer = [&] {
        ++calls;
        throw std::runtime_error("boom");
    };
    timer.SetInterval(20);
    timer.SetEnabled(true);
    QTest::qWait(70);  // headless error display: a line on standard error
    EXPECT_GE(calls, 2);
    EXPECT_EQ(timer.Interval(), 20u);
    EXPECT_TRUE(timer.Enabled());
}

TEST(TTimer, LongIntervalsAreAccepted)
{
    TTimer timer;
    timer.OnTimer = [] {};
    timer.SetEnabled(true);
    const auto before = Clock::now();
    timer.SetInterval(0xfffffff0u);  // beyond what one Qt timer can take
    ASSERT_TRUE(timer.IsCounting());
    const auto deadline = *timer.Deadline();
    EXPECT_GE(deadline - before, milliseconds(0xfffffff0u));
    EXPECT_LE(deadline - before, milliseconds(0xfffffff0u) + milliseconds(1000));
}

TEST(TTimer, DueAtKeepsADeadline)
{
    TickLog log;
    log.timer.SetEnabled(true);
    log.timer.SetIntervalDueAt(1000, Clock::now() + milliseconds(60));
    log.Wait(120);
    ASSERT_EQ(log.ticks.size(), 1u);
    EXPECT_GE(log.ticks[0], 60);
    EXPECT_LT(log.ticks[0], 110);
    log.timer.SetEnabled(false);
}

TEST(TTimer, RestartInsideTheTickCountsFromItsDeadline)
{
    // A handler that re-arms (as the player does for each frame) should not add its own
    // lateness to the next period.
    TTimer timer;
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    timer.OnTimer = [&] {
        ticks.push_back(clock.elapsed());
        timer.SetInterval(0);
        QElapsedTimer busy;
        busy.start();
        while (busy.elapsed() < 8) {
        }
        if (ticks.size() < 10) {
            timer.SetInterval(20);
        }
    };
    clock.start();
    timer.SetInterval(20);
    timer.SetEnabled(true);
    QTest::qWait(400);
    ASSERT_EQ(ticks.size(), 10u);
    // Re-armed from the end of each tick, ten ticks would take 10 * 28 ms.
    EXPECT_LT(ticks.back(), 10 * 20 + 60);
    EXPECT_GE(ticks.back(), 10 * 20);
}

}  // namespace
