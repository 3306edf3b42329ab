#pragma once

#include "playback/io.h"

// The playback's own clock: the first frame's timestamp and the timestamp of the frame
// read before the current one. They outlive a closed recording.
namespace PlaybackClock {
extern io::FrameTime StartTime;
extern io::FrameTime PrevFrameTime;
}  // namespace PlaybackClock
