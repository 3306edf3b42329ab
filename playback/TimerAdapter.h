#pragma once

#include "platform/TTimer.h"
#include "playback/PlaybackPorts.h"

// The window timer as the player's timer.
class TTimerPlaybackTimer final : public PlaybackTimer
{
public:
    explicit TTimerPlaybackTimer(TTimer& timer) : timer_(timer) {}

    uint32_t Interval() const override { return timer_.Interval(); }
    void SetInterval(uint32_t interval) override { timer_.SetInterval(interval); }
    void SetIntervalAfter(uint32_t interval, std::chrono::nanoseconds delay) override
    {
        timer_.SetIntervalAfter(interval, delay);
    }
    bool Enabled() const override { return timer_.Enabled(); }
    void SetEnabled(bool enabled) override { timer_.SetEnabled(enabled); }
    bool IsOverdue() const override { return timer_.IsOverdue(); }
    void TakeOverdueTick() override { timer_.TakeOverdueTick(); }

private:
    TTimer& timer_;
};
