#pragma once

#include <QByteArrayView>
#include <cstddef>
#include <cstdint>
#include <memory>

// The compressions a recording may come in, each decoded by its own library, which hands
// back every byte it decoded before it met damage or the end of a cut file.
namespace io {

enum class Compression
{
    None,
    Gzip,
    Bzip2,
    Xz,
    Zstd,
    Lz4,
};

// The compression whose stream the bytes open, told by its magic; None for anything else.
// Checked on more than the shortest magic where a raw ttyrec's first timestamp could
// otherwise pass for one.
Compression DetectCompression(QByteArrayView head);

// The input and output of one decoding step; Decode advances both.
struct DecodeBuffers
{
    const uint8_t* in = nullptr;
    size_t inLeft = 0;
    uint8_t* out = nullptr;
    size_t outLeft = 0;
};

// A length for the libraries that count in 32 bits; a step may then take less.
inline unsigned int Clamp32(size_t length)
{
    return length > 0xffffffffu ? 0xffffffffu : static_cast<unsigned int>(length);
}

// One compression's decoder, fed in pieces.
class StreamDecoder
{
public:
    enum class Result
    {
        Progress,   // more input or more room is needed to go on
        StreamEnd,  // a whole stream ended and passed its check; `in` stands after it
        Damaged,    // the data is damaged, or asks for more memory than is allowed
    };

    virtual ~StreamDecoder() = default;
    // Decodes what it can. inputEnds: nothing follows what buffers.in holds, so a stream
    // that has not ended by then is cut.
    virtual Result Decode(DecodeBuffers& buffers, bool inputEnds) = 0;
    // Makes ready for a stream that follows one that ended (a concatenated gzip member or
    // bzip2 stream, the next zstd or lz4 frame). False when the library refuses.
    virtual bool Restart() = 0;
};

// A decoder for the compression; null for None or when the library cannot start one.
std::unique_ptr<StreamDecoder> NewStreamDecoder(Compression compression);

// The libraries' own decoders (one file each).
std::unique_ptr<StreamDecoder> NewGzipDecoder();
std::unique_ptr<StreamDecoder> NewBzip2Decoder();
std::unique_ptr<StreamDecoder> NewXzDecoder();
std::unique_ptr<StreamDecoder> NewZstdDecoder();
std::unique_ptr<StreamDecoder> NewLz4Decoder();

// The most memory an xz stream may make its decoder take. The format lets a header ask
// for a 1.5 GiB dictionary; xz -9 needs 65 MiB.
inline constexpr uint64_t kXzMemoryLimit = 256ull * 1024 * 1024;
// The largest zstd window accepted (2^27 = 128 MiB), the zstd tool's own default limit.
inline constexpr int kZstdWindowLogMax = 27;

}  // namespace io
