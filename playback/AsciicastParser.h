#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QSize>
#include <optional>

#include "playback/TerminalSize.h"
#include "playback/io.h"

// The asciicast formats (asciinema's recordings), without any I/O: the header, and each
// event turned into a frame's time and bytes.
//   v1: one JSON object, "stdout": [[delay, text], ...], each delay from the previous entry.
//   v2: a header object on the first line, then one [time, code, data] array a line, the
//       time in seconds from the start.
//   v3: the same with "version": 3, the first field the interval since the previous event
//       of any code; lines starting with '#' are comments.
// Frames are the output events ("o"); the other codes send nothing.
namespace asciicast {

// The longest event line (or v1 entry) read. Each is parsed whole as JSON on the event
// loop, which takes about 15 ms a MiB; recorders write a terminal's reads, a few KiB each.
// Past it, the file is taken for a broken or hostile one.
inline constexpr qsizetype kMaxEventLength = 2 * 1024 * 1024;

using ::kMaxTerminalSide;

struct Header
{
    int version = 0;
    // At most kMaxTerminalSide each way.
    std::optional<QSize> terminalSize;
    // The size as the recording wrote it ("2147483647x24"), when it was larger.
    QByteArray clampedFrom;
    std::optional<double> idleTimeLimit;
};

// True when the bytes may open an asciicast file: a JSON object, after blanks and an
// optional byte-order mark. Whether it is one, its header says.
bool LooksLikeAsciicast(QByteArrayView head);

// The header of a v2 or v3 file; none when the line is no such header.
std::optional<Header> ParseHeaderLine(QByteArrayView line);

// The header of a v1 file from its object's keys other than "stdout"; none unless its
// "version" is 1.
std::optional<Header> Version1Header(const QJsonObject& keys);

enum class EventResult
{
    Frame,    // an output event: time and bytes are set
    NoFrame,  // a blank line, a comment or another code: it sends nothing
    Invalid,  // the line does not parse, or its time is no usable number
};

// Turns events into frames in order, keeping the running clock the relative versions need.
class EventClock
{
public:
    explicit EventClock(int version) : version_(version) {}
    // One line after a v2 or v3 header.
    EventResult ParseLine(QByteArrayView line, io::FrameTime& time, QByteArray& bytes);
    // One entry of a v1 "stdout" array, as its JSON text.
    EventResult ParseVersion1Entry(QByteArrayView entry, io::FrameTime& time, QByteArray& bytes);

private:
    bool Advance(double value, io::FrameTime& time);

    int version_;
    double clock_ = 0;  // seconds, for the versions whose times are relative
};

}  // namespace asciicast
