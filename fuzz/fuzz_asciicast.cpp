// Any bytes as an asciicast file: split into lines by the bounded line reader, whose lines
// must put the input back together, and parsed as a header and event lines of each
// version; read as a v1 object, its entries one at a time; and walked value by value by
// the JSON scanner, whose values must be the input's own bytes. Frames must carry bytes,
// and no 0xFF (UTF-8 has none); a header's terminal is one a terminal can show.
#include <sys/mman.h>
#include <unistd.h>

#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/UniqueFd.h"
#include "playback/AsciicastParser.h"
#include "playback/AsciicastVersion1.h"
#include "playback/JsonScanner.h"
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

void ReadAsVersion1(const QByteArray& input)
{
    UniqueFd fd(::memfd_create("fuzz", MFD_CLOEXEC));
    Check(fd.Valid() && ::write(fd.Get(), input.constData(), static_cast<size_t>(input.size())) ==
                            input.size(),
          "memfd");
    const std::optional<asciicast::Version1Layout> layout = asciicast::ReadVersion1Layout(fd.Get());
    if (!layout) {
        return;
    }
    CheckHeader(layout->header);
    Check(layout->entriesOffset > 0 && layout->entriesOffset <= input.size(), "entries offset");
    Check(input.at(static_cast<qsizetype>(layout->entriesOffset - 1)) == '[', "entries follow a [");
    asciicast::Version1Entries entries(fd.Get(), layout->entriesOffset);
    asciicast::EventClock clock(1);
    QByteArray entry;
    for (int i = 0; i < 4096 && entries.Next(entry) == asciicast::Version1Entries::Status::Entry;
         ++i) {
        Check(input.contains(entry), "an entry is the input's own bytes");
        io::FrameTime time;
        QByteArray bytes;
        const asciicast::EventResult result = clock.ParseVersion1Entry(entry, time, bytes);
        CheckFrame(result, bytes);
        if (result == asciicast::EventResult::Invalid) {
            break;
        }
    }
}

// Every value the scanner reads is the stretch of input it walked over.
void WalkValues(const QByteArray& input)
{
    JsonScanner scanner(input);
    for (int i = 0; i < 4096; ++i) {
        const int next = scanner.PeekAfterSpace();
        if (next < 0) {
            break;
        }
        const int64_t start = scanner.Offset();
        QByteArray value;
        const JsonScanner::Status status = scanner.ReadValue(&value, 64);
        Check(scanner.Offset() >= start && scanner.Offset() <= input.size(), "offset");
        if (status == JsonScanner::Status::Ok) {
            Check(value == input.mid(start, scanner.Offset() - start), "value is its bytes");
            Check(!value.isEmpty(), "empty value");
        } else if (status == JsonScanner::Status::Bad && !scanner.Take(static_cast<char>(next))) {
            break;  // it ended inside the value
        }
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
    ReadAsVersion1(input);
    WalkValues(input);

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
