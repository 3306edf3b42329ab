// The lz4 frame format through liblz4, which checks the block and content checksums a
// frame declares. A block (at most 4 MiB) is decoded only once all of it has arrived.
#include <lz4frame.h>

#include "playback/StreamDecoder.h"

namespace io {

namespace {
struct ContextFree
{
    void operator()(LZ4F_dctx* context) const { LZ4F_freeDecompressionContext(context); }
};

class Lz4Decoder final : public StreamDecoder
{
public:
    Lz4Decoder()
    {
        LZ4F_dctx* context = nullptr;
        if (!LZ4F_isError(LZ4F_createDecompressionContext(&context, LZ4F_VERSION))) {
            context_.reset(context);
        }
    }

    bool Ready() const { return context_ != nullptr; }

    Result Decode(DecodeBuffers& buffers, bool) override
    {
        size_t outSize = buffers.outLeft;
        size_t inSize = buffers.inLeft;
        const size_t rc =
            LZ4F_decompress(context_.get(), buffers.out, &outSize, buffers.in, &inSize, nullptr);
        buffers.in += inSize;
        buffers.inLeft -= inSize;
        buffers.out += outSize;
        buffers.outLeft -= outSize;
        if (LZ4F_isError(rc)) {
            return Result::Damaged;
        }
        // 0: the frame is decoded, checked and handed out whole.
        return rc == 0 ? Result::StreamEnd : Result::Progress;
    }

    bool Restart() override
    {
        LZ4F_resetDecompressionContext(context_.get());
        return true;
    }

private:
    std::unique_ptr<LZ4F_dctx, ContextFree> context_;
};
}  // namespace

std::unique_ptr<StreamDecoder> NewLz4Decoder()
{
    auto decoder = std::make_unique<Lz4Decoder>();
    return decoder->Ready() ? std::move(decoder) : nullptr;
}

}  // namespace io
