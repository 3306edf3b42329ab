#include "playback/ByteInput.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace io {

namespace {
// A catch-up reads tens of megabytes: blocks larger than a stream's buffer keep the
// system calls few.
constexpr size_t kPositionedBlockSize = 256 * 1024;
}  // namespace

size_t StreamInput::Read(void* into, size_t count)
{
    return std::fread(into, 1, count, stream_);
}

bool StreamInput::Failed() const
{
    return std::ferror(stream_) != 0;
}

PositionedInput::PositionedInput(int fd, int64_t offset) : fd_(fd), bufferOffset_(offset) {}

void PositionedInput::ReleaseBuffer()
{
    bufferOffset_ = Offset();
    bufferFill_ = 0;
    bufferPos_ = 0;
    std::vector<char>().swap(buffer_);
}

void PositionedInput::Seek(int64_t offset)
{
    if (offset >= bufferOffset_ && offset <= bufferOffset_ + static_cast<int64_t>(bufferFill_)) {
        bufferPos_ = static_cast<size_t>(offset - bufferOffset_);
        return;
    }
    bufferOffset_ = offset;
    bufferFill_ = 0;
    bufferPos_ = 0;
}

bool PositionedInput::Refill()
{
    bufferOffset_ += static_cast<int64_t>(bufferFill_);
    bufferPos_ = 0;
    bufferFill_ = 0;
    if (buffer_.empty()) {
        buffer_.resize(kPositionedBlockSize);
    }
    ssize_t got;
    do {
        got = ::pread(fd_, buffer_.data(), buffer_.size(), bufferOffset_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        failed_ = true;
        return false;
    }
    bufferFill_ = static_cast<size_t>(got);
    return got > 0;
}

size_t PositionedInput::Read(void* into, size_t count)
{
    auto* out = static_cast<char*>(into);
    size_t done = 0;
    while (done < count) {
        if (bufferPos_ == bufferFill_ && !Refill()) {
            break;
        }
        const size_t take = std::min(count - done, bufferFill_ - bufferPos_);
        std::memcpy(out + done, buffer_.data() + bufferPos_, take);
        bufferPos_ += take;
        done += take;
    }
    return done;
}

}  // namespace io
