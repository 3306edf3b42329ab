#pragma once

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <optional>

// The lines waiting for a slow reader, bounded in bytes. Each line belongs to a key (the
// status panel it reports); when the bound is passed, lines that a later line of the same
// key has made stale are dropped, the oldest "time" lines first, then the oldest of the
// others. The latest line of every key is always kept, so a reader that comes back sees
// the present state. I/O-free: the writer takes bytes from the front.
//
// Every line is also listed under its key, oldest first, so the stale line to drop is the
// front of a key's list: pushing and dropping cost the same however long the backlog is,
// which matters exactly when nobody reads and lines arrive fastest.
class LineBacklog
{
public:
    explicit LineBacklog(size_t capacityBytes) : capacity_(capacityBytes) {}

    // Queues one whole line (its newline included) for key.
    void Push(const QByteArray& key, const QByteArray& line);
    bool Empty() const { return lines_.empty(); }
    size_t Bytes() const { return bytes_; }
    // The bytes of the front line not yet written.
    const char* FrontData() const;
    size_t FrontSize() const;
    // Marks count bytes of the front line written; a line written whole leaves.
    void Consume(size_t count);
    void Clear();

private:
    struct Line
    {
        QByteArray key;
        QByteArray bytes;
        uint64_t order;  // position in the order of pushing
    };
    using LineList = std::list<Line>;
    using KeyLines = std::deque<LineList::iterator>;

    // Where the oldest stale line of one key is in its list, if it has one that may go.
    std::optional<size_t> OldestStale(const KeyLines& lines) const;
    // Drops one stale line, preferring key; false when none of that kind is stale.
    bool DropStale(const QByteArray* key);
    void Erase(KeyLines& lines, size_t index);

    size_t capacity_;
    size_t bytes_ = 0;
    uint64_t nextOrder_ = 0;
    // How much of the front line is already out; such a line is never dropped, or the
    // reader would see half a line joined to the next.
    size_t frontWritten_ = 0;
    LineList lines_;
    std::map<QByteArray, KeyLines> byKey_;  // a handful of keys
};
