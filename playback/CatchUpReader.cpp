#include "playback/CatchUpReader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "playback/io.h"

namespace {
// Reads in blocks of this size, like a stream's buffer but larger: a catch-up can be
// tens of megabytes.
constexpr size_t kBlockSize = 1024 * 1024;
constexpr int64_t kHeaderSize = 12;
}  // namespace

CatchUpReader::CatchUpReader(int fd, int64_t pendingEnd)
    : fd_(fd), pendingEnd_(pendingEnd), buffer_(kBlockSize)
{
}

bool CatchUpReader::Read(char* into, size_t count)
{
    while (count > 0) {
        if (bufferPos_ == bufferFill_) {
            bufferOffset_ += static_cast<int64_t>(bufferFill_);
            bufferPos_ = 0;
            bufferFill_ = 0;
            ssize_t got;
            do {
                got = ::pread(fd_, buffer_.data(), buffer_.size(), bufferOffset_);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) {
                return false;
            }
            bufferFill_ = static_cast<size_t>(got);
        }
        const size_t take = std::min(count, bufferFill_ - bufferPos_);
        std::memcpy(into, buffer_.data() + bufferPos_, take);
        bufferPos_ += take;
        into += take;
        count -= take;
    }
    return true;
}

bool CatchUpReader::AppendNextFrame(QByteArray& out)
{
    if (offset_ + kHeaderSize > pendingEnd_) {
        return false;
    }
    uint32_t fields[3];
    if (!Read(reinterpret_cast<char*>(fields), sizeof fields)) {
        return false;
    }
    const auto length = static_cast<int32_t>(io::LittleEndianToHost32(fields[2]));
    // The pending frame ends at pendingEnd_ (or past it, when its body was cut short);
    // it reaches the newcomer with everyone else at the next tick.
    if (length < 0 || length > io::kMaxFrameLength ||
        offset_ + kHeaderSize + length >= pendingEnd_) {
        return false;
    }
    const qsizetype start = out.size();
    out.resize(start + qsizetype{2} * length);
    if (!Read(out.data() + start, static_cast<size_t>(length))) {
        out.resize(start);
        return false;
    }
    out.resize(start + io::EscapeTelnetIac(out.data() + start, length));
    offset_ += kHeaderSize + length;
    return true;
}
