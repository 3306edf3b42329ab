// Any bytes as a recording file, through the player's own frame reader, checked frame by
// frame against a reference parser written the simple way: header fields, the length
// bound, bodies cut short and the delay arithmetic; and each body through the telnet
// escaping, in all its forms, against the simple way of doubling 0xFF.
#include <QByteArray>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "playback/FrameReader.h"
#include "playback/io.h"
#include "server/TelnetOutput.h"

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

int32_t LittleEndian32(const uint8_t* bytes)
{
    return static_cast<int32_t>(uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
}

QByteArray NaiveEscape(const uint8_t* data, size_t size)
{
    QByteArray out;
    for (size_t i = 0; i < size; ++i) {
        out.append(static_cast<char>(data[i]));
        if (data[i] == 0xff) {
            out.append(static_cast<char>(data[i]));
        }
    }
    return out;
}

// The three forms of the escaping: into a fresh block, in place in a block with room, and
// in place in a block that grows.
void CheckEscaping(const QByteArray& body, const QByteArray& expected)
{
    Check(TelnetEscaped(body) == expected, "escaped copy");
    QByteArray block(2 * body.size(), '\0');
    std::copy(body.begin(), body.end(), block.begin());
    block.resize(EscapeTelnetIac(block.data(), body.size()));
    Check(block == expected, "escaped in place");
    QByteArray grown = body;
    EscapeTelnetIac(grown);
    Check(grown == expected, "escaped growing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;  // fmemopen takes no empty buffer; the unit tests cover an empty file
    }
    // The last byte also picks a speed for the delay arithmetic.
    const int speed = 1 + data[size - 1] % 100;
    std::vector<char> bytes(data, data + size);
    io::FilePtr file(fmemopen(bytes.data(), size, "rb"));
    Check(file != nullptr, "fmemopen");

    size_t offset = 0;
    io::FrameTime previous;
    for (int frame = 0; frame < 4096; ++frame) {
        io::FrameHeader header;
        QByteArray body;
        const io::FrameReadStatus status = io::ReadFrame(file.get(), header, body);
        const size_t left = size - offset;
        if (left < 4) {
            Check(status == io::FrameReadStatus::EndOfFile, "end of file");
            break;
        }
        if (left < 12) {
            Check(status == io::FrameReadStatus::ReadFailed && header.length == 0 && body.isEmpty(),
                  "header cut short");
            break;
        }
        const int32_t length = LittleEndian32(data + offset + 8);
        if (length < 0 || length > io::kMaxFrameLength) {
            Check(status == io::FrameReadStatus::AllocationFailed && header.length == length,
                  "length refused");
            break;
        }
        const size_t present = std::min(static_cast<size_t>(length), left - 12);
        if (length > 0 && present == 0) {
            Check(status == io::FrameReadStatus::ReadFailed && header.length == length,
                  "body missing");
            break;
        }
        Check(status == io::FrameReadStatus::Frame, "frame read");
        Check(header.time.seconds == LittleEndian32(data + offset), "seconds");
        Check(header.time.microseconds == LittleEndian32(data + offset + 4), "microseconds");
        const char* recorded = reinterpret_cast<const char*>(data + offset + 12);
        Check(body == QByteArray::fromRawData(recorded, static_cast<qsizetype>(present)), "body");
        Check(header.length == body.size(), "body length");
        CheckEscaping(body, NaiveEscape(data + offset + 12, present));

        const uint32_t delay =
            io::FrameDelayMilliseconds(io::FrameTimeDiff(previous, header.time), speed);
        Check(delay >= 1 && delay <= io::kMaxDelayMilliseconds, "delay range");
        previous = header.time;
        offset += 12 + present;
    }
    return 0;
}
