// Any bytes as a recording file, read the way the player reads it: header fields, the
// length check, the body, the telnet escaping and the delay arithmetic. The loop keeps the
// checks of TFormOmbrix::ReadNextFrame (which needs a whole form and window to run) so a
// fault in the pieces it is made of shows up here.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "playback/io.h"

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// Every 0xFF doubled, the simple way.
std::vector<char> NaiveEscape(const char* data, size_t size)
{
    std::vector<char> out;
    for (size_t i = 0; i < size; ++i) {
        out.push_back(data[i]);
        if (data[i] == '\xff') {
            out.push_back(data[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The last byte picks a speed; the file is everything.
    const int speed = size > 0 ? 1 + data[size - 1] % 100 : 1;
    if (size == 0) {
        return 0;  // fmemopen takes no empty buffer; an empty file is the Reader test's case
    }
    std::vector<char> bytes(data, data + size);
    io::FilePtr file(fmemopen(bytes.data(), size, "rb"));
    Check(file != nullptr, "fmemopen");
    std::FILE* stream = file.get();

    io::FrameTime previous;
    for (int frame = 0; frame < 4096; ++frame) {
        io::FrameHeader header;
        const long before = std::ftell(stream);
        const int fields = io::ReadFrameHeaderFields(stream, header);
        Check(fields >= 0 && fields <= 3, "field count");
        Check(fields == std::min<long>(3, (static_cast<long>(size) - before) / 4),
              "fields read whole");
        if (fields < 3) {
            break;  // the end of the file, or a header cut short: no frame
        }
        const int32_t length = header.length;
        if (length < 0 || length > io::kMaxFrameLength) {
            break;  // refused as unallocatable
        }
        const size_t available = size - static_cast<size_t>(before) - 12;
        // Room for the body the input can hold, escaped; the program sizes its block from
        // the header, which is the same for every byte that can arrive.
        std::vector<char> block(2 * std::min(static_cast<size_t>(length), available) + 1);
        const size_t got = std::fread(block.data(), 1, static_cast<size_t>(length), stream);
        Check(got == std::min(static_cast<size_t>(length), available), "body read");
        if (got == 0 && length > 0) {
            break;
        }
        const std::vector<char> expected = NaiveEscape(block.data(), got);
        const qsizetype escaped = io::EscapeTelnetIac(block.data(), static_cast<qsizetype>(got));
        Check(static_cast<size_t>(escaped) == expected.size(), "escaped length");
        Check(expected.empty() || std::memcmp(block.data(), expected.data(), expected.size()) == 0,
              "escaped bytes");

        const io::FrameTime gap = io::FrameTimeDiff(previous, header.time);
        const uint32_t delay = io::FrameDelayMilliseconds(gap, speed);
        Check(delay >= 1 && delay <= io::kMaxDelayMilliseconds, "delay range");
        (void)io::FrameTimeDivide(header.time, static_cast<double>(speed));
        previous = header.time;
        if (got < static_cast<size_t>(length)) {
            break;  // a body cut short ends the recording
        }
    }
    return 0;
}
