#include "platform/TTimer.h"

#include <QTimerEvent>

#include "app/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/Exceptions.h"

using namespace std::chrono;

TTimer::TTimer(QObject* parent) : QObject(parent) {}

TTimer::~TTimer()
{
    Stop();
}

void TTimer::SetInterval(uint32_t interval)
{
    if (interval == interval_) {
        return;
    }
    interval_ = interval;
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
    Restart(dueAt);
}

std::optional<TTimer::Clock::time_point> TTimer::Deadline() const
{
    if (!counting_) {
        return std::nullopt;
    }
    return deadline_;
}

void TTimer::Stop()
{
    if (platformTimer_ != 0) {
        killTimer(platformTimer_);
        platformTimer_ = 0;
    }
    counting_ = false;
}

void TTimer::Restart(std::optional<Clock::time_point> dueAt)
{
    Stop();
    if (interval_ == 0 || !enabled_ || !OnTimer) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (dueAt) {
        deadline_ = *dueAt;
    } else {
        Clock::time_point anchor = now;
        if (firing_ && now - *firing_ <= kMaxCatchUp) {
            anchor = *firing_;
        }
        deadline_ = anchor + milliseconds(interval_);
    }
    counting_ = true;
    ArmSlice();
}

void TTimer::ArmSlice()
{
    const auto remaining = deadline_ - Clock::now();
    // Round up: the platform timer may fire at the full millisecond, never before it.
    auto slice = ceil<milliseconds>(remaining);
    slice = std::clamp(slice, milliseconds(0), kMaxSlice);
    platformTimer_ = startTimer(slice, Qt::PreciseTimer);
    if (platformTimer_ == 0) {
        counting_ = false;
        throw EOutOfResources(Texts::TimerUnavailable);
    }
}

void TTimer::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != platformTimer_) {
        return;
    }
    killTimer(platformTimer_);
    platformTimer_ = 0;
    ErrorDisplay::Guard([this] {
        if (Clock::now() < deadline_) {
            ArmSlice();
            return;
        }
        // The next period follows this one; a handler that changes the interval
        // restarts it anyway.
        const Clock::time_point fired = deadline_;
        deadline_ += milliseconds(interval_);
        ArmSlice();
        firing_ = fired;
        struct ClearFiring
        {
            std::optional<Clock::time_point>& firing;
            ~ClearFiring() { firing.reset(); }
        } clear{firing_};
        OnTimer();
    });
}
