// zstd through libzstd, which checks a frame's checksum when the frame has one. A block
// (at most 128 KiB decoded) is decoded only once all of it has arrived.
#include <zstd.h>

#include "playback/StreamDecoder.h"

namespace io {

namespace {
struct ContextFree
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

class ZstdDecoder final : public StreamDecoder
{
public:
    ZstdDecoder() : context_(ZSTD_createDCtx())
    {
        // A frame header may ask for a window of up to 2 GiB; the decoder would reserve it.
        if (context_ && ZSTD_isError(ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax,
                                                            kZstdWindowLogMax))) {
            context_.reset();
        }
    }

    bool Ready() const { return context_ != nullptr; }

    Result Decode(DecodeBuffers& buffers, bool) override
    {
        ZSTD_inBuffer in{buffers.in, buffers.inLeft, 0};
        ZSTD_outBuffer out{buffers.out, buffers.outLeft, 0};
        const size_t rc = ZSTD_decompressStream(context_.get(), &out, &in);
        buffers.in += in.pos;
        buffers.inLeft -= in.pos;
        buffers.out += out.pos;
        buffers.outLeft -= out.pos;
        if (ZSTD_isError(rc)) {
            return Result::Damaged;
        }
        // 0: the frame is decoded, checked and handed out whole.
        return rc == 0 ? Result::StreamEnd : Result::Progress;
    }

    bool Restart() override
    {
        return !ZSTD_isError(ZSTD_DCtx_reset(context_.get(), ZSTD_reset_session_only));
    }

private:
    std::unique_ptr<ZSTD_DCtx, ContextFree> context_;
};
}  // namespace

std::unique_ptr<StreamDecoder> NewZstdDecoder()
{
    auto decoder = std::make_unique<ZstdDecoder>();
    return decoder->Ready() ? std::move(decoder) : nullptr;
}

}  // namespace io
