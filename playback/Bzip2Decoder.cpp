// bzip2 through libbz2, which checks each block's CRC and the stream's combined one. A
// block is decoded only once all of it has arrived.
#include <bzlib.h>

#include "playback/StreamDecoder.h"

namespace io {

namespace {
class Bzip2Decoder final : public StreamDecoder
{
public:
    Bzip2Decoder() { Start(); }
    ~Bzip2Decoder() override { Stop(); }
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

    bool Ready() const { return ready_; }

    Result Decode(DecodeBuffers& buffers, bool) override
    {
        if (!ready_) {
            return Result::Damaged;
        }
        stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(buffers.in));
        stream_.avail_in = Clamp32(buffers.inLeft);
        stream_.next_out = reinterpret_cast<char*>(buffers.out);
        stream_.avail_out = Clamp32(buffers.outLeft);
        const unsigned int inGiven = stream_.avail_in;
        const unsigned int outGiven = stream_.avail_out;
        const int rc = BZ2_bzDecompress(&stream_);
        buffers.in += inGiven - stream_.avail_in;
        buffers.inLeft -= inGiven - stream_.avail_in;
        buffers.out += outGiven - stream_.avail_out;
        buffers.outLeft -= outGiven - stream_.avail_out;
        if (rc == BZ_STREAM_END) {
            return Result::StreamEnd;
        }
        return rc == BZ_OK ? Result::Progress : Result::Damaged;
    }

    // The library starts each stream afresh.
    bool Restart() override
    {
        Stop();
        return Start();
    }

private:
    bool Start()
    {
        stream_ = bz_stream{};
        // Not the small-memory mode: blocks of up to 900 kB take at most about 3.7 MB.
        ready_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK;
        return ready_;
    }
    void Stop()
    {
        if (ready_) {
            BZ2_bzDecompressEnd(&stream_);
            ready_ = false;
        }
    }

    bz_stream stream_{};
    bool ready_ = false;
};
}  // namespace

std::unique_ptr<StreamDecoder> NewBzip2Decoder()
{
    auto decoder = std::make_unique<Bzip2Decoder>();
    return decoder->Ready() ? std::move(decoder) : nullptr;
}

}  // namespace io
