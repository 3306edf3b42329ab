#include "playback/LineReader.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr size_t kBlockSize = 64 * 1024;
}  // namespace

LineReader::LineReader(io::ByteInput& input, qsizetype maxLineLength, Input kind)
    : input_(input), maxLineLength_(maxLineLength), kind_(kind), buffer_(kBlockSize)
{
}

// Moves what is left to the front, makes room for another block (never more than the
// bound allows) and reads it. False when nothing more came.
bool LineReader::Fill()
{
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    const size_t limit = static_cast<size_t>(maxLineLength_) + 1;
    if (buffer_.size() - end_ < kBlockSize && buffer_.size() < limit) {
        buffer_.resize(std::min(limit, std::max(buffer_.size() * 2, end_ + kBlockSize)));
    }
    const size_t got = input_.Read(buffer_.data() + end_, buffer_.size() - end_);
    end_ += got;
    return got > 0;
}

LineReader::Status LineReader::Next(QByteArray& line)
{
    size_t searched = begin_;
    for (;;) {
        const char* from = buffer_.data() + searched;
        const auto* newline = static_cast<const char*>(std::memchr(from, '\n', end_ - searched));
        if (newline != nullptr) {
            const size_t stop = static_cast<size_t>(newline - buffer_.data());
            if (stop - begin_ > static_cast<size_t>(maxLineLength_)) {
                return Status::TooLong;
            }
            line = QByteArray(buffer_.data() + begin_, static_cast<qsizetype>(stop - begin_));
            begin_ = stop + 1;
            return Status::Line;
        }
        if (end_ - begin_ > static_cast<size_t>(maxLineLength_)) {
            return Status::TooLong;
        }
        searched = end_ - begin_;  // offset after the move Fill makes
        if (ended_ || !Fill()) {
            if (input_.Failed()) {
                ended_ = true;
                return Status::Failed;
            }
            if (kind_ == Input::Growing) {
                // What is here of the line stays, and the next call reads on after it.
                return Status::Partial;
            }
            ended_ = true;
            if (begin_ == end_) {
                return Status::End;
            }
            // The last line has no line break.
            line = QByteArray(buffer_.data() + begin_, static_cast<qsizetype>(end_ - begin_));
            begin_ = end_;
            return Status::Line;
        }
        searched += begin_;  // begin_ is 0 after the move
    }
}
