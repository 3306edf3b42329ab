#pragma once

#include <chrono>

// How many keys one viewer may apply: a bucket that holds kBurst keys and refills at
// kPerSecond. Typing, and a key held down at any auto-repeat rate a keyboard offers
// (30 to 50 a second), never empties it, so every key a person presses acts. A flood
// empties it at once; the keys past it are dropped, as keys nobody could read on the
// screen anyway, so one viewer can neither freeze the playback nor race it for everyone.
class KeyRateLimit
{
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kBurst = 40;
    static constexpr int kPerSecond = 60;

    // True when a key may act at `now`, taking one from the bucket.
    bool Take(Clock::time_point now);

private:
    double keys_ = kBurst;
    Clock::time_point refilled_{};
};
