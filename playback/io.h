#pragma once

#include <QByteArray>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "platform/UniqueFd.h"

// The recording format (ttyrec): frames of a 12-byte little-endian header (seconds,
// microseconds, length) followed by the body, the terminal's bytes as recorded; and the
// time arithmetic the player paces frames with.
namespace io {

struct FrameTime
{
    int32_t seconds = 0;
    int32_t microseconds = 0;
    friend bool operator==(const FrameTime&, const FrameTime&) = default;
};

struct FrameHeader
{
    FrameTime time;
    int32_t length = 0;
};

// The longest frame body accepted; anything longer is refused as unallocatable. Real
// recordings write at most a few kilobytes a frame.
inline constexpr int32_t kMaxFrameLength = 16 * 1024 * 1024;

// The longest delay the timer is given, in milliseconds.
inline constexpr uint32_t kMaxDelayMilliseconds = 0x7fffffff;

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// 1 when the host stores integers least significant byte first, else 0.
int HostIsLittleEndian();
// A 32-bit value as read from the file, in host byte order.
uint32_t LittleEndianToHost32(uint32_t value);

// The bytes of a frame header: seconds, microseconds and length, 4 bytes each.
inline constexpr size_t kFrameHeaderSize = 12;

// Decodes a header from the `available` bytes that could be read of it (at most
// kFrameHeaderSize); returns how many of its three fields were whole (0 to 3). Fields not
// whole are 0. Every reader of a recording, whatever it reads from, decodes here.
int DecodeFrameHeader(const char* bytes, size_t available, FrameHeader& header);

// Reads one header; returns how many of its three 4-byte fields were read whole (0 to 3).
// Fields not read are set to 0.
int ReadFrameHeaderFields(std::FILE* stream, FrameHeader& header);
// 1 when a header was read (at least its first field), 0 at the end of the file.
int ReadFrameHeader(std::FILE* stream, FrameHeader& header);

// Opens a regular file for reading, close-on-exec, so a program we start never holds a
// recording open; a FIFO, a device or a folder is refused at once, never waited on. On
// failure, null, and reason says why.
FilePtr OpenRegularFile(const QByteArray& path, const char* mode, const char** reason);
// The same as a descriptor; on failure, an invalid one, with the reason and its error
// number (ENOENT when there is no file) when error is not null.
UniqueFd OpenRegularFd(const QByteArray& path, const char** reason, int* error);
// The same, but a failure writes ": PATH: REASON" to standard error.
FilePtr OpenFileOrReport(const QByteArray& path, const char* mode);

// Seconds as a FrameTime, rounded to the nearest microsecond; none when the value is not
// a finite number within the 32-bit seconds a FrameTime holds.
std::optional<FrameTime> SecondsToFrameTime(double seconds);

// b minus a, with one borrow at most.
FrameTime FrameTimeDiff(FrameTime a, FrameTime b);
// t divided by n, in x87 extended precision, both parts truncated toward zero.
FrameTime FrameTimeDivide(FrameTime t, double n);
// The timer interval for a gap between two frames at a speed: the quotient in whole
// milliseconds, 1 when it is 0 or negative, capped at kMaxDelayMilliseconds.
uint32_t FrameDelayMilliseconds(FrameTime gap, int speed);
// How long a gap between two frames really waits at a speed: the exact quotient, to the
// nanosecond, so that the whole milliseconds of the interval never add up to a drift.
// Like the interval, 1 ms when the quotient is 0 or negative, and capped at
// kMaxDelayMilliseconds.
std::chrono::nanoseconds FrameDelay(FrameTime gap, int speed);

}  // namespace io
