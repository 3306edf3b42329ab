#pragma once

#include <optional>

#include "playback/io.h"

// Capping long pauses: a recorded gap above the idle limit counts as the limit before the
// speed divides it. The recorded times themselves (the elapsed-time panel) stay as they
// are.
namespace io {

// Seconds as a FrameTime, rounded to the nearest microsecond; none when the value is not
// a finite number within the 32-bit seconds a FrameTime holds.
std::optional<FrameTime> SecondsToFrameTime(double seconds);

// The limit that applies: the smaller of the command line's and the recording's own, in
// either case only a limit above 0.
std::optional<FrameTime> EffectiveIdleLimit(std::optional<double> option,
                                            std::optional<double> recording);

// The gap the player waits for. A gap at or below the limit, and an earlier stamp (a
// negative gap), stay as recorded.
FrameTime CapGap(FrameTime gap, std::optional<FrameTime> limit);

}  // namespace io
