#pragma once

#include <cstddef>
#include <string>

// The write-to-viewer latency of a session broadcast while it is recorded: a writer
// appends ttyrec frames to a file at a typing pace, stamping each write, and viewers stamp
// the arrival of each frame's last byte.
namespace bench {

struct LiveRun
{
    double p50Ms = 0;
    double p99Ms = 0;
    // The same for the first viewer each frame reached: the delay before the sending
    // starts, without the time it takes to send to every viewer.
    double firstP50Ms = 0;
    double firstP99Ms = 0;
    size_t viewers = 0;   // connected and given the lead-in frame
    size_t complete = 0;  // with every frame, byte-exact
};

enum class LiveServer
{
    Ombrix,      // the program following the file
    TtyplayPeek  // ttyplay -p FILE piped into ncat --broker
};

// Writes `frames` frames after a lead-in, at 10 to 30 ms apart, to a file the server
// follows with `viewers` viewers connected.
LiveRun MeasureLive(const std::string& binary, LiveServer server, size_t viewers, size_t frames);

}  // namespace bench
