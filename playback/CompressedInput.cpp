#include "playback/CompressedInput.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace io {

namespace {
// Compressed data is read in blocks of this size; decoding dominates the cost.
constexpr size_t kCompressedBlockSize = 64 * 1024;
// No real stream takes this much input before it produces a byte (a bzip2 block is at
// most about 1 MB compressed); past it the file is taken for a damaged one.
constexpr uint64_t kMaxInputWithoutOutput = 16 * 1024 * 1024;

ssize_t ReadAt(int fd, void* into, size_t count, int64_t offset)
{
    ssize_t got;
    do {
        got = ::pread(fd, into, count, offset);
    } while (got < 0 && errno == EINTR);
    return got;
}
}  // namespace

bool LooksCompressed(QByteArrayView head)
{
    return DetectCompression(head) != Compression::None;
}

CompressedInput::CompressedInput(UniqueFd fd, std::unique_ptr<StreamDecoder> decoder)
    : fd_(std::move(fd)), decoder_(std::move(decoder)), compressed_(kCompressedBlockSize)
{
}

std::unique_ptr<CompressedInput> CompressedInput::Open(UniqueFd fd)
{
    char head[16];
    const ssize_t got = ReadAt(fd.Get(), head, sizeof head, 0);
    const Compression compression =
        got > 0 ? DetectCompression(QByteArrayView(head, got)) : Compression::None;
    std::unique_ptr<StreamDecoder> decoder = NewStreamDecoder(compression);
    if (!decoder) {
        return nullptr;
    }
    return std::unique_ptr<CompressedInput>(new CompressedInput(std::move(fd), std::move(decoder)));
}

bool CompressedInput::Refill()
{
    const ssize_t got = ReadAt(fd_.Get(), compressed_.data(), compressed_.size(), fileOffset_);
    if (got < 0) {
        return false;
    }
    fileOffset_ += got;
    compressedPos_ = 0;
    compressedEnd_ = static_cast<size_t>(got);
    fileEnded_ = got == 0;
    return true;
}

// Zero bytes after a stream are padding (tape blocks, xz's own); anything else must start
// another stream, which the decoder then checks.
void CompressedInput::SkipBetweenStreams()
{
    const auto* begin = compressed_.data() + compressedPos_;
    const auto* end = compressed_.data() + compressedEnd_;
    const auto* next = std::find_if(begin, end, [](uint8_t byte) { return byte != 0; });
    compressedPos_ += static_cast<size_t>(next - begin);
    takenWithoutOutput_ += static_cast<uint64_t>(next - begin);
    if (next == end) {
        if (fileEnded_) {
            state_ = State::Ended;
        }
        return;
    }
    state_ = decoder_->Restart() ? State::Decoding : State::Failed;
}

void CompressedInput::DecodeInto(uint8_t* out, size_t room, size_t& produced)
{
    DecodeBuffers buffers{compressed_.data() + compressedPos_, compressedEnd_ - compressedPos_, out,
                          room};
    const StreamDecoder::Result result = decoder_->Decode(buffers, fileEnded_);
    const size_t taken = compressedEnd_ - compressedPos_ - buffers.inLeft;
    produced = room - buffers.outLeft;
    compressedPos_ += taken;
    takenWithoutOutput_ = produced > 0 ? 0 : takenWithoutOutput_ + taken;
    if (result == StreamDecoder::Result::Damaged) {
        state_ = State::Failed;
    } else if (result == StreamDecoder::Result::StreamEnd) {
        state_ = State::BetweenStreams;
    } else if (taken == 0 && produced == 0 && compressedPos_ == compressedEnd_ && fileEnded_) {
        state_ = State::Failed;  // the file ends inside a stream: it was cut
    } else if (taken == 0 && produced == 0 && compressedPos_ < compressedEnd_) {
        state_ = State::Failed;  // a decoder that takes nothing it is given cannot go on
    }
}

size_t CompressedInput::Read(void* into, size_t count)
{
    auto* out = static_cast<uint8_t*>(into);
    size_t done = 0;
    while (done < count && (state_ == State::Decoding || state_ == State::BetweenStreams)) {
        if (takenWithoutOutput_ > kMaxInputWithoutOutput) {
            state_ = State::Failed;
            break;
        }
        if (compressedPos_ == compressedEnd_ && !fileEnded_ && !Refill()) {
            state_ = State::Failed;  // the file cannot be read
            break;
        }
        if (state_ == State::BetweenStreams) {
            SkipBetweenStreams();
            continue;
        }
        size_t produced = 0;
        DecodeInto(out + done, count - done, produced);
        done += produced;
    }
    // A failure found while decoding the last of the bytes asked for shows at the next read.
    stoppedShort_ = stoppedShort_ || (done < count && state_ == State::Failed);
    return done;
}

}  // namespace io
