#include "server/KeyRateLimit.h"

#include <algorithm>

bool KeyRateLimit::Take(Clock::time_point now)
{
    if (now > refilled_) {
        const std::chrono::duration<double> elapsed = now - refilled_;
        keys_ = std::min<double>(kBurst, keys_ + elapsed.count() * kPerSecond);
        refilled_ = now;
    }
    if (keys_ < 1) {
        return false;
    }
    keys_ -= 1;
    return true;
}
