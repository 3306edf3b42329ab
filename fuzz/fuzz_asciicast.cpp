// Any bytes as an asciicast file: split into lines by the bounded line reader, whose lines
// must put the input back together, and parsed as a header, a v1 object and event lines
// of each version. Frames must carry bytes, and no 0xFF (UTF-8 has none); a header's
// terminal is one a terminal can show.
#include <QByteArray>
#include <QJsonArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "playback/AsciicastParser.h"
#include "playback/LineReader.h"

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

void CheckFrame(asciicast::EventResult result, const QByteArray& bytes)
{
    if (result == asciicast::EventResult::Frame) {
        Check(!bytes.isEmpty(), "frame without bytes");
        Check(!bytes.contains('\xff'), "0xFF in UTF-8 text");
    }
}

// Whatever size a header asks for, a page is told one a terminal can show.
void CheckHeader(const asciicast::Header& header)
{
    if (header.terminalSize) {
        const QSize size = *header.terminalSize;
        Check(size.width() >= 1 && size.height() >= 1 &&
                  size.width() <= asciicast::kMaxTerminalSide &&
                  size.height() <= asciicast::kMaxTerminalSide,
              "a terminal size a terminal can show");
    } else {
        Check(header.clampedFrom.isEmpty(), "a size cut that is no size");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;  // fmemopen takes no empty buffer
    }
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    asciicast::LooksLikeAsciicast(input);
    if (std::optional<asciicast::Version1> v1 = asciicast::ParseVersion1(input)) {
        CheckHeader(v1->header);
        asciicast::EventClock clock(1);
        for (const QJsonValue& entry : v1->stdoutEntries) {
            io::FrameTime time;
            QByteArray bytes;
            const asciicast::EventResult result = clock.ParseVersion1Entry(entry, time, bytes);
            CheckFrame(result, bytes);
            if (result == asciicast::EventResult::Invalid) {
                break;
            }
        }
    }

    // A small bound, so the fuzzer meets it.
    constexpr qsizetype kBound = 256;
    std::vector<char> copy(input.begin(), input.end());
    FILE* file = fmemopen(copy.data(), size, "rb");
    Check(file != nullptr, "fmemopen");
    io::StreamInput stream(file);
    LineReader lines(stream, kBound);
    asciicast::EventClock clocks[] = {asciicast::EventClock(2), asciicast::EventClock(3)};
    QByteArray rebuilt;
    QByteArray line;
    LineReader::Status status;
    bool first = true;
    while ((status = lines.Next(line)) == LineReader::Status::Line) {
        Check(line.size() <= kBound, "line over the bound");
        Check(!line.contains('\n'), "line break inside a line");
        rebuilt += line + '\n';
        if (first) {
            if (const std::optional<asciicast::Header> header = asciicast::ParseHeaderLine(line)) {
                CheckHeader(*header);
            }
            first = false;
            continue;
        }
        for (asciicast::EventClock& clock : clocks) {
            io::FrameTime time;
            QByteArray bytes;
            CheckFrame(clock.ParseLine(line, time, bytes), bytes);
        }
    }
    std::fclose(file);
    Check(status != LineReader::Status::Failed, "memory input failed");
    if (status == LineReader::Status::End) {
        // Every byte came back, with at most the one line break the last line lacked.
        Check(rebuilt == input || rebuilt == input + '\n', "lines do not rebuild the input");
    } else {
        Check(input.startsWith(rebuilt), "lines before an overlong one");
    }
    return 0;
}
