// xz through liblzma, which checks each block's check and the stream's index, and reads
// concatenated streams and their padding itself.
#include <lzma.h>

#include "playback/StreamDecoder.h"

namespace io {

namespace {
class XzDecoder final : public StreamDecoder
{
public:
    XzDecoder() { Start(); }
    ~XzDecoder() override { lzma_end(&stream_); }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

    bool Ready() const { return ready_; }

    Result Decode(DecodeBuffers& buffers, bool inputEnds) override
    {
        if (!ready_) {
            return Result::Damaged;
        }
        stream_.next_in = buffers.in;
        stream_.avail_in = buffers.inLeft;
        stream_.next_out = buffers.out;
        stream_.avail_out = buffers.outLeft;
        // Only when told that no input follows does it check that the last stream ended.
        const lzma_ret rc = lzma_code(&stream_, inputEnds ? LZMA_FINISH : LZMA_RUN);
        buffers.in = stream_.next_in;
        buffers.inLeft = stream_.avail_in;
        buffers.out = stream_.next_out;
        buffers.outLeft = stream_.avail_out;
        switch (rc) {
            case LZMA_STREAM_END:
                return Result::StreamEnd;
            case LZMA_OK:
            case LZMA_BUF_ERROR:  // no progress was possible: it needs input
                return Result::Progress;
            default:  // bad data, a wrong check, a dictionary over the memory limit
                return Result::Damaged;
        }
    }

    bool Restart() override
    {
        lzma_end(&stream_);
        return Start();
    }

private:
    bool Start()
    {
        stream_ = LZMA_STREAM_INIT;
        ready_ = lzma_stream_decoder(&stream_, kXzMemoryLimit, LZMA_CONCATENATED) == LZMA_OK;
        return ready_;
    }

    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ready_ = false;
};
}  // namespace

std::unique_ptr<StreamDecoder> NewXzDecoder()
{
    auto decoder = std::make_unique<XzDecoder>();
    return decoder->Ready() ? std::move(decoder) : nullptr;
}

}  // namespace io
