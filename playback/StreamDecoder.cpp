#include "playback/StreamDecoder.h"

#include <string_view>

namespace io {

namespace {
bool StartsWith(QByteArrayView head, QByteArrayView magic)
{
    return head.size() >= magic.size() && head.first(magic.size()) == magic;
}
}  // namespace

Compression DetectCompression(QByteArrayView head)
{
    using namespace std::string_view_literals;
    // gzip: magic, deflate, and flags with the reserved bits clear.
    if (head.size() >= 4 && StartsWith(head, "\x1f\x8b\x08"sv) &&
        (static_cast<unsigned char>(head[3]) & 0xe0) == 0) {
        return Compression::Gzip;
    }
    // bzip2: "BZh", a block size digit, then a block or the end-of-stream marker.
    if (head.size() >= 10 && StartsWith(head, "BZh"sv) && head[3] >= '1' && head[3] <= '9' &&
        (head.sliced(4, 6) == "\x31\x41\x59\x26\x53\x59"sv ||
         head.sliced(4, 6) == "\x17\x72\x45\x38\x50\x90"sv)) {
        return Compression::Bzip2;
    }
    if (StartsWith(head,
                   "\xfd"
                   "7zXZ\0"sv)) {
        return Compression::Xz;
    }
    if (StartsWith(head, "\x28\xb5\x2f\xfd"sv)) {
        return Compression::Zstd;
    }
    if (StartsWith(head, "\x04\x22\x4d\x18"sv)) {
        return Compression::Lz4;
    }
    return Compression::None;
}

std::unique_ptr<StreamDecoder> NewStreamDecoder(Compression compression)
{
    switch (compression) {
        case Compression::None:
            break;
        case Compression::Gzip:
            return NewGzipDecoder();
        case Compression::Bzip2:
            return NewBzip2Decoder();
        case Compression::Xz:
            return NewXzDecoder();
        case Compression::Zstd:
            return NewZstdDecoder();
        case Compression::Lz4:
            return NewLz4Decoder();
    }
    return nullptr;
}

}  // namespace io
