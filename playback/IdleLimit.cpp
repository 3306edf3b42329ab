#include "playback/IdleLimit.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace io {

namespace {
int64_t TotalMicroseconds(FrameTime t)
{
    return int64_t{t.seconds} * 1000000 + t.microseconds;
}
}  // namespace

std::optional<FrameTime> SecondsToFrameTime(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 2147483647.0) {
        return std::nullopt;
    }
    const int64_t micro = std::llround(seconds * 1e6);
    int64_t whole = micro / 1000000;
    int64_t fraction = micro % 1000000;
    if (fraction < 0) {
        whole -= 1;
        fraction += 1000000;
    }
    return FrameTime{static_cast<int32_t>(whole), static_cast<int32_t>(fraction)};
}

std::optional<FrameTime> EffectiveIdleLimit(std::optional<double> option,
                                            std::optional<double> recording)
{
    std::optional<double> limit;
    for (const std::optional<double>& candidate : {option, recording}) {
        if (candidate && *candidate > 0 && (!limit || *candidate < *limit)) {
            limit = candidate;
        }
    }
    if (!limit) {
        return std::nullopt;
    }
    // A limit past what a FrameTime holds never caps anything.
    const std::optional<FrameTime> time = SecondsToFrameTime(*limit);
    if (time && TotalMicroseconds(*time) == 0) {
        return FrameTime{0, 1};  // below a microsecond: the shortest gap there is
    }
    return time;
}

FrameTime CapGap(FrameTime gap, std::optional<FrameTime> limit)
{
    if (limit && TotalMicroseconds(gap) > TotalMicroseconds(*limit)) {
        return *limit;
    }
    return gap;
}

}  // namespace io
