#include "platform/TTimer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <optional>
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
    // lateness to the next period: each new deadline is the last one plus the interval,
    // however long the handler took. Deadlines are compared, not wall-clock times, so a
    // loaded machine cannot make this fail.
    TTimer timer;
    std::vector<Clock::time_point> deadlines;
    std::vector<Clock::time_point> fired;
    timer.OnTimer = [&] {
        fired.push_back(Clock::now());
        timer.SetInterval(0);
        const Clock::time_point busyUntil = Clock::now() + milliseconds(8);
        while (Clock::now() < busyUntil) {
        }
        if (deadlines.size() < 10) {
            timer.SetInterval(20);
            deadlines.push_back(*timer.Deadline());
        }
    };
    timer.SetInterval(20);
    timer.SetEnabled(true);
    const Clock::time_point first = *timer.Deadline();
    for (int i = 0; i < 100 && fired.size() < 11; ++i) {
        QTest::qWait(20);
    }
    timer.SetEnabled(false);
    ASSERT_EQ(deadlines.size(), 10u);
    ASSERT_GE(fired.size(), 10u);
    for (size_t i = 0; i < deadlines.size(); ++i) {
        // Never early, and counted from the deadline that fired unless that tick ran
        // later than the catch-up limit.
        const Clock::time_point firedFor = i == 0 ? first : deadlines[i - 1];
        EXPECT_GE(fired[i], firedFor) << "tick " << i;
        if (fired[i] - firedFor < TTimer::kMaxCatchUp) {
            EXPECT_EQ(deadlines[i], firedFor + milliseconds(20)) << "tick " << i;
        }
    }
}

TEST(TTimer, ExactPeriodChainsFromTheTicksDeadlineAndSurvivesAPause)
{
    using std::chrono::microseconds;
    TTimer timer;
    const Clock::time_point due = Clock::now() + milliseconds(20);
    std::optional<Clock::time_point> next;
    timer.OnTimer = [&] {
        timer.SetInterval(0);
        timer.SetIntervalAfter(2, microseconds(2500));
        next = timer.Deadline();
        timer.SetEnabled(false);
    };
    timer.SetEnabled(true);
    timer.SetIntervalDueAt(1000, due);
    QTest::qWait(80);
    // Counted from the deadline the tick was due at, to the nanosecond, whatever the
    // lateness of the handler.
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next - due, microseconds(2500));
    EXPECT_EQ(timer.Interval(), 2u);

    // Resumed outside a tick, the countdown lasts the exact period, not the interval.
    const Clock::time_point before = Clock::now();
    timer.SetEnabled(true);
    ASSERT_TRUE(timer.Deadline().has_value());
    EXPECT_GE(*timer.Deadline() - before, microseconds(2500));
    EXPECT_LT(*timer.Deadline() - before, microseconds(2500) + milliseconds(50));
    timer.SetEnabled(false);
}

}  // namespace
