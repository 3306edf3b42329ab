#pragma once

#include <QObject>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/UniqueFd.h"

class QSocketNotifier;

// The window timer the program paces its frames with. It keeps the rules of a classic
// window timer: setting Interval or Enabled to the value it holds does nothing; a
// different value restarts the countdown from the full interval; Interval 0 or Enabled
// false never fires. Unlike Qt's timers, which count whole milliseconds and whose default
// kind allows 5 % of slack, it aims at an absolute deadline on the monotonic clock
// through a timerfd, so it never fires early, is late by microseconds rather than up to
// a millisecond, and takes any interval up to 2^32 - 1 ms.
class TTimer : public QObject
{
    Q_OBJECT

public:
    using Clock = std::chrono::steady_clock;

    // A countdown that restarts while its own tick is being handled is counted from the
    // deadline that tick was due at, not from the moment the handler got round to it, so
    // the lateness of one tick does not add up over a long run. Past this much lateness
    // (the machine was suspended, a handler blocked) it counts from now instead.
    static constexpr std::chrono::milliseconds kMaxCatchUp{250};

    explicit TTimer(QObject* parent = nullptr);
    ~TTimer() override;

    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t interval);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    // True while a countdown runs (Interval not 0, Enabled, a handler bound).
    bool IsCounting() const { return counting_; }
    // The moment the running countdown falls due; empty when none runs.
    std::optional<Clock::time_point> Deadline() const;
    // Sets Interval and makes its first countdown fall due at the given moment instead of
    // one full interval from now (a moment in the past fires at once). Later periods
    // follow from there.
    void SetIntervalDueAt(uint32_t interval, Clock::time_point dueAt);
    // Sets Interval, the value the timer reports, but counts each countdown as `period`
    // instead of whole milliseconds: from the deadline of the tick being handled, as a
    // restart inside a tick does, else from now. A pacing that re-arms every tick then
    // keeps an exact clock. Interval 0 stops the timer as ever.
    void SetIntervalAfter(uint32_t interval, std::chrono::nanoseconds period);

    // True when the running countdown is already due (its handler is running late).
    bool IsOverdue() const;
    // Inside OnTimer: takes an overdue countdown's tick now instead of firing again, and
    // sets Interval to 0 as a tick does; the next restart counts from its deadline.
    void TakeOverdueTick();

    std::function<void()> OnTimer;

private:
    void Expired();
    void Restart(std::optional<Clock::time_point> dueAt = std::nullopt);
    void Stop();
    void Arm();
    void EnsurePlatformTimer();

    uint32_t interval_ = 100;
    // What a countdown lasts: Interval's milliseconds, or the exact period set with it.
    std::chrono::nanoseconds period_ = std::chrono::milliseconds(100);
    bool enabled_ = false;
    bool counting_ = false;
    // Declared before its notifier, so the notifier goes first.
    UniqueFd timerFd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    Clock::time_point deadline_{};
    // While OnTimer runs: the deadline the next restart counts from.
    std::optional<Clock::time_point> firing_;
};
