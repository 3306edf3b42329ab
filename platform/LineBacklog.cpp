#include "platform/LineBacklog.h"

#include <iterator>

namespace {
const QByteArray kTimeKey("time");
}

void LineBacklog::Push(const QByteArray& key, const QByteArray& line)
{
    lines_.push_back({key, line, nextOrder_++});
    byKey_[key].push_back(std::prev(lines_.end()));
    bytes_ += static_cast<size_t>(line.size());
    while (bytes_ > capacity_ && (DropStale(&kTimeKey) || DropStale(nullptr))) {
    }
}

// Every line of a key but its last is stale. The front line of the backlog may be half
// written; it stays, and the next line of its key is the candidate instead. Returns the
// index in the key's lines, or none.
std::optional<size_t> LineBacklog::OldestStale(const KeyLines& lines) const
{
    const size_t index = frontWritten_ > 0 && lines.front() == lines_.begin() ? 1 : 0;
    return index + 1 < lines.size() ? std::optional<size_t>(index) : std::nullopt;
}

bool LineBacklog::DropStale(const QByteArray* key)
{
    KeyLines* oldestKey = nullptr;
    size_t oldestIndex = 0;
    for (auto& [name, lines] : byKey_) {
        if (key != nullptr && name != *key) {
            continue;
        }
        const std::optional<size_t> stale = OldestStale(lines);
        if (stale &&
            (oldestKey == nullptr || lines[*stale]->order < (*oldestKey)[oldestIndex]->order)) {
            oldestKey = &lines;
            oldestIndex = *stale;
        }
    }
    if (oldestKey == nullptr) {
        return false;
    }
    Erase(*oldestKey, oldestIndex);
    return true;
}

void LineBacklog::Erase(KeyLines& lines, size_t index)
{
    const LineList::iterator line = lines[index];
    bytes_ -= static_cast<size_t>(line->bytes.size());
    lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
    if (lines.empty()) {
        byKey_.erase(line->key);
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
        // The front line is the oldest of its key.
        Erase(byKey_[lines_.front().key], 0);
    }
}

void LineBacklog::Clear()
{
    lines_.clear();
    byKey_.clear();
    bytes_ = 0;
    frontWritten_ = 0;
}
