#pragma once

#include <cstddef>
#include <cstdint>

#include "Harness.h"

// The recordings the benchmarks play. Paced ones start with a lead-in frame and a second
// frame 999 s later: the viewers connect and set the speed while it waits, and a key
// then sends it at once, so every measured frame is played with every viewer present.
namespace bench {

// Known gaps from 5 ms to 900 ms, in a shuffled but fixed order.
Recording TimingRecording(size_t measuredFrames);
// Frames at a constant gap, for the drift over a long run.
Recording EvenRecording(size_t measuredFrames, int gapMs);
// A shell session: typing, bursts of output, full-screen redraws and pauses.
Recording SessionRecording(size_t targetBytes);
// Many small frames, each 500 s after the one before, so only keys move playback on.
Recording CatchUpRecording(size_t targetBytes);

}  // namespace bench
