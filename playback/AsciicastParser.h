#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonArray>
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

// A v1 file: its header and its output entries. The entries stay in the parsed document,
// which is shared, never copied, by every reader of the recording.
struct Version1
{
    Header header;
    QJsonArray stdoutEntries;
};
// None when the bytes are no v1 object.
std::optional<Version1> ParseVersion1(QByteArrayView document);

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
    // One entry of a v1 "stdout" array.
    EventResult ParseVersion1Entry(const QJsonValue& entry, io::FrameTime& time, QByteArray& bytes);

private:
    bool Advance(double value, io::FrameTime& time);

    int version_;
    double clock_ = 0;  // seconds, for the versions whose times are relative
};

}  // namespace asciicast
