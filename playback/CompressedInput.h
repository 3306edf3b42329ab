#pragma once

#include <QByteArrayView>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"
#include "playback/ByteInput.h"
#include "playback/StreamDecoder.h"

namespace io {

// True when the bytes open a stream of one of the compressions this program decodes
// (gzip, bzip2, xz, zstd, lz4).
bool LooksCompressed(QByteArrayView head);

// A compressed file, decompressed as it is read. Reads the file with positioned reads on
// a descriptor of its own, so several of these (and other readers) can share one file.
// Every byte the decoder produced before it met damage or the cut end of the file is
// handed out; only then does a read stop short, with Failed() set.
class CompressedInput final : public ByteInput
{
public:
    // Takes the descriptor. Null when the file does not start with a compression this
    // decodes, or the library cannot start a decoder.
    static std::unique_ptr<CompressedInput> Open(UniqueFd fd);

    size_t Read(void* into, size_t count) override;
    // True once a read stopped short because the data turned out damaged or cut, or the
    // file could not be read. The bytes decoded before that were all handed out.
    bool Failed() const override { return stoppedShort_; }
    // The memory of the compressed block it reads ahead. The decoder's own state (its
    // window, which the stream's header sizes within the limits above) cannot be seen.
    size_t BufferCapacity() const { return compressed_.capacity(); }

private:
    enum class State
    {
        Decoding,        // inside a stream
        BetweenStreams,  // a stream ended: another, zero padding or the end may follow
        Ended,
        Failed,
    };

    CompressedInput(UniqueFd fd, std::unique_ptr<StreamDecoder> decoder);
    bool Refill();
    void SkipBetweenStreams();
    void DecodeInto(uint8_t* out, size_t room, size_t& produced);

    UniqueFd fd_;
    std::unique_ptr<StreamDecoder> decoder_;
    std::vector<uint8_t> compressed_;
    size_t compressedPos_ = 0;
    size_t compressedEnd_ = 0;
    int64_t fileOffset_ = 0;
    bool fileEnded_ = false;
    // Compressed bytes taken since the decoder last produced any: bounded, so that a
    // file of padding or empty streams cannot hold the loop while it is read through.
    uint64_t takenWithoutOutput_ = 0;
    State state_ = State::Decoding;
    bool stoppedShort_ = false;
};

}  // namespace io
