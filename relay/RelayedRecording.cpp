#include "relay/RelayedRecording.h"

// Reads the log it shares by index, so the log may grow and let old blocks go meanwhile:
// a cursor behind the oldest block held goes on from it.
class RelayedRecording::Cursor final : public FrameCursor
{
public:
    explicit Cursor(std::shared_ptr<const Log> log) : log_(std::move(log)) {}

    io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) override
    {
        index_ = std::max(index_, log_->firstIndex);
        const int64_t at = index_ - log_->firstIndex;
        if (at >= static_cast<int64_t>(log_->blocks.size())) {
            return io::FrameReadStatus::EndOfFile;
        }
        body = log_->blocks[static_cast<size_t>(at)];
        header.length = static_cast<int32_t>(body.size());
        ++index_;
        return io::FrameReadStatus::Frame;
    }

private:
    std::shared_ptr<const Log> log_;
    int64_t index_ = 0;
};

void RelayedRecording::Start()
{
    log_ = std::make_shared<Log>();
    next_ = 0;
    count_ = 0;
}

RelayedRecording::Arrival RelayedRecording::Add(uint64_t seq, const QByteArray& bytes)
{
    if (seq < next_) {
        return Arrival::Duplicate;
    }
    if (seq > next_) {
        return Arrival::Gap;
    }
    Append(bytes);
    return Arrival::Appended;
}

void RelayedRecording::Accept(uint64_t seq, const QByteArray& bytes)
{
    next_ = seq;
    Append(bytes);
}

void RelayedRecording::Append(const QByteArray& bytes)
{
    log_->blocks.push_back(bytes);
    log_->bytes += bytes.size();
    ++next_;
    ++count_;
    while (log_->bytes > ceiling_ && log_->blocks.size() > 1) {
        log_->bytes -= log_->blocks.front().size();
        log_->blocks.pop_front();
        ++log_->firstIndex;
    }
}

std::unique_ptr<FrameCursor> RelayedRecording::NewCursor() const
{
    return std::make_unique<Cursor>(log_);
}
