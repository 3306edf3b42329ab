#pragma once

#include <sys/uio.h>
#include <QByteArray>
#include <cstddef>
#include <vector>

// The blocks a connection still has to send, oldest first, in a ring that grows to the
// longest backlog the connection has had and is then reused: queueing and sending a block
// allocate nothing. Blocks are shared with their other holders, never copied.
class SendQueue
{
public:
    bool Empty() const { return count_ == 0; }
    size_t Count() const { return count_; }
    // Bytes of the first block already sent.
    qsizetype FrontOffset() const { return frontOffset_; }

    void Push(const QByteArray& block, qsizetype alreadySent);
    // Describes up to `limit` blocks from the first unsent byte on; returns how many.
    int Gather(iovec* parts, int limit) const;
    // Marks bytes as sent; returns the memory (MemoryBudget::MemoryOf) of the blocks that
    // are now wholly sent and were released.
    qsizetype Consume(size_t bytes);
    void Clear();

private:
    QByteArray& At(size_t index) { return ring_[(head_ + index) & (ring_.size() - 1)]; }
    const QByteArray& At(size_t index) const { return ring_[(head_ + index) & (ring_.size() - 1)]; }
    void Grow();

    std::vector<QByteArray> ring_;  // a power of two long, or empty
    size_t head_ = 0;
    size_t count_ = 0;
    qsizetype frontOffset_ = 0;
};
