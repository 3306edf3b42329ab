#pragma once

#include <QByteArray>
#include <cstddef>
#include <deque>
#include <map>

// The lines waiting for a slow reader, bounded in bytes. Each line belongs to a key (the
// status panel it reports); when the bound is passed, lines that a later line of the same
// key has made stale are dropped, the oldest "time" lines first, then the oldest of the
// others. The latest line of every key is always kept, so a reader that comes back sees
// the present state. I/O-free: the writer takes bytes from the front.
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
    };
    // Drops one stale line, preferring key; false when none of that kind is stale.
    bool DropStale(const QByteArray* key);
    void Erase(std::deque<Line>::iterator line);

    size_t capacity_;
    size_t bytes_ = 0;
    // How much of the front line is already out; such a line is never dropped, or the
    // reader would see half a line joined to the next.
    size_t frontWritten_ = 0;
    std::deque<Line> lines_;
    std::map<QByteArray, size_t> linesPerKey_;
};
