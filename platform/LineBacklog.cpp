#include "platform/LineBacklog.h"

void LineBacklog::Push(const QByteArray& key, const QByteArray& line)
{
    lines_.push_back({key, line});
    bytes_ += static_cast<size_t>(line.size());
    ++linesPerKey_[key];
    static const QByteArray time("time");
    while (bytes_ > capacity_ && (DropStale(&time) || DropStale(nullptr))) {
    }
}

bool LineBacklog::DropStale(const QByteArray* key)
{
    // A line is stale when a later line of its key follows it.
    std::map<QByteArray, size_t> seen;
    for (auto line = lines_.begin(); line != lines_.end(); ++line) {
        const size_t position = ++seen[line->key];
        // The front line may be half written; it stays.
        const bool halfWritten = line == lines_.begin() && frontWritten_ > 0;
        if (!halfWritten && (key == nullptr || line->key == *key) &&
            position < linesPerKey_[line->key]) {
            Erase(line);
            return true;
        }
    }
    return false;
}

void LineBacklog::Erase(std::deque<Line>::iterator line)
{
    bytes_ -= static_cast<size_t>(line->bytes.size());
    if (--linesPerKey_[line->key] == 0) {
        linesPerKey_.erase(line->key);
    }
    lines_.erase(line);
}

const char* LineBacklog::FrontData() const
{
    return lines_.empty() ? nullptr : lines_.front().bytes.constData() + frontWritten_;
}

size_t LineBacklog::FrontSize() const
{
    return lines_.empty() ? 0 : static_cast<size_t>(lines_.front().bytes.size()) - frontWritten_;
}

void LineBacklog::Consume(size_t count)
{
    frontWritten_ += count;
    if (!lines_.empty() && frontWritten_ >= static_cast<size_t>(lines_.front().bytes.size())) {
        frontWritten_ = 0;
        Erase(lines_.begin());
    }
}

void LineBacklog::Clear()
{
    lines_.clear();
    linesPerKey_.clear();
    bytes_ = 0;
    frontWritten_ = 0;
}
