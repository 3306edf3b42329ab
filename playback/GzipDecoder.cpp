// gzip through zlib, which checks each member's CRC-32 and length.
#include <zlib.h>

#include "playback/StreamDecoder.h"

namespace io {

namespace {
class GzipDecoder final : public StreamDecoder
{
public:
    GzipDecoder()
    {
        // 16 + the largest window: the gzip wrapper only, with its checks.
        ready_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK;
    }
    ~GzipDecoder() override
    {
        if (ready_) {
            inflateEnd(&stream_);
        }
    }
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;

    bool Ready() const { return ready_; }

    Result Decode(DecodeBuffers& buffers, bool) override
    {
        stream_.next_in = const_cast<Bytef*>(buffers.in);
        stream_.avail_in = Clamp32(buffers.inLeft);
        stream_.next_out = buffers.out;
        stream_.avail_out = Clamp32(buffers.outLeft);
        const unsigned int inGiven = stream_.avail_in;
        const unsigned int outGiven = stream_.avail_out;
        const int rc = inflate(&stream_, Z_NO_FLUSH);
        buffers.in += inGiven - stream_.avail_in;
        buffers.inLeft -= inGiven - stream_.avail_in;
        buffers.out += outGiven - stream_.avail_out;
        buffers.outLeft -= outGiven - stream_.avail_out;
        switch (rc) {
            case Z_STREAM_END:
                return Result::StreamEnd;
            case Z_OK:
            case Z_BUF_ERROR:  // no progress was possible: it needs input
                return Result::Progress;
            default:  // a bad header, bad data, a wrong check, no memory
                return Result::Damaged;
        }
    }

    bool Restart() override { return inflateReset(&stream_) == Z_OK; }

private:
    z_stream stream_{};
    bool ready_ = false;
};
}  // namespace

std::unique_ptr<StreamDecoder> NewGzipDecoder()
{
    auto decoder = std::make_unique<GzipDecoder>();
    return decoder->Ready() ? std::move(decoder) : nullptr;
}

}  // namespace io
