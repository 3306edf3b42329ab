#include "platform/TTimer.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>

#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/Exceptions.h"

using namespace std::chrono;

// The deadlines are steady_clock time points handed to a timerfd of CLOCK_MONOTONIC:
// the two must be the same clock.
static_assert(TTimer::Clock::is_steady);

TTimer::TTimer(QObject* parent) : QObject(parent)
{
    // Made now so the program's descriptors stay the same from start to end; a refusal
    // here is tried again, and reported, when the timer is first armed.
    try {
        EnsurePlatformTimer();
    } catch (const EOutOfResources&) {
    }
}

TTimer::~TTimer() = default;

void TTimer::SetInterval(uint32_t interval)
{
    if (interval == interval_) {
        return;
    }
    interval_ = interval;
    period_ = milliseconds(interval);
    Restart();
}

void TTimer::SetIntervalAfter(uint32_t interval, nanoseconds period)
{
    if (interval == interval_ && period == period_) {
        return;
    }
    interval_ = interval;
    period_ = std::max(period, nanoseconds(1));
    Restart();
}

void TTimer::SetEnabled(bool enabled)
{
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    Restart();
}

void TTimer::SetIntervalDueAt(uint32_t interval, Clock::time_point dueAt)
{
    interval_ = interval;
    period_ = milliseconds(interval);
    Restart(dueAt);
}

std::optional<TTimer::Clock::time_point> TTimer::Deadline() const
{
    if (!counting_) {
        return std::nullopt;
    }
    return deadline_;
}

bool TTimer::IsOverdue() const
{
    return counting_ && deadline_ <= Clock::now();
}

void TTimer::TakeOverdueTick()
{
    if (!IsOverdue()) {
        return;
    }
    firing_ = deadline_;
    // As at the start of a tick: Interval 0, so the next delay arms the timer even when
    // it equals the last one.
    interval_ = 0;
    Stop();
}

void TTimer::Stop()
{
    if (counting_ && timerFd_.Valid()) {
        const itimerspec disarm{};
        ::timerfd_settime(timerFd_.Get(), 0, &disarm, nullptr);
        notifier_->setEnabled(false);
    }
    counting_ = false;
}

void TTimer::Restart(std::optional<Clock::time_point> dueAt)
{
    Stop();
    if (interval_ == 0 || !enabled_ || !OnTimer) {
        return;
    }
    if (dueAt) {
        deadline_ = *dueAt;
    } else {
        const Clock::time_point now = Clock::now();
        Clock::time_point anchor = now;
        if (firing_ && now - *firing_ <= kMaxCatchUp) {
            anchor = *firing_;
        }
        deadline_ = anchor + period_;
    }
    Arm();
    counting_ = true;
}

void TTimer::EnsurePlatformTimer()
{
    if (timerFd_.Valid()) {
        return;
    }
    timerFd_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!timerFd_.Valid()) {
        throw EOutOfResources(Texts::TimerUnavailable);
    }
    notifier_ = std::make_unique<QSocketNotifier>(timerFd_.Get(), QSocketNotifier::Read);
    notifier_->setEnabled(false);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Expired(); });
}

void TTimer::Arm()
{
    EnsurePlatformTimer();
    const auto sinceEpoch = duration_cast<nanoseconds>(deadline_.time_since_epoch()).count();
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(sinceEpoch / 1000000000);
    expiry.it_value.tv_nsec = static_cast<long>(sinceEpoch % 1000000000);
    if (expiry.it_value.tv_sec <= 0 && expiry.it_value.tv_nsec <= 0) {
        expiry.it_value.tv_nsec = 1;  // all zero would disarm instead of firing at once
    }
    if (::timerfd_settime(timerFd_.Get(), TFD_TIMER_ABSTIME, &expiry, nullptr) != 0) {
        throw EOutOfResources(Texts::TimerUnavailable);
    }
    notifier_->setEnabled(true);
}

void TTimer::Expired()
{
    // Read the expiry count, or the descriptor stays readable and the loop spins.
    uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t got = ::read(timerFd_.Get(), &expirations, sizeof expirations);
    if (!counting_) {
        return;
    }
    ErrorDisplay::Guard([this] {
        if (Clock::now() < deadline_) {
            Arm();
            return;
        }
        // The next period follows this one; a handler that changes the interval
        // restarts it anyway.
        const Clock::time_point fired = deadline_;
        deadline_ += period_;
        // Periods missed altogether (a suspended machine) are not made up in a burst.
        if (deadline_ <= Clock::now()) {
            deadline_ = Clock::now() + period_;
        }
        Arm();
        firing_ = fired;
        struct ClearFiring
        {
            std::optional<Clock::time_point>& firing;
            ~ClearFiring() { firing.reset(); }
        } clear{firing_};
        OnTimer();
    });
}
