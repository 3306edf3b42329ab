#include "server/SendQueue.h"

#include <algorithm>

#include "server/MemoryBudget.h"

namespace {
// A ring that grew past this for one burst is given back once it has drained, so a
// connection that once lagged far does not keep the room for good.
constexpr size_t kKeptRingSize = 64;
}  // namespace

void SendQueue::Push(const QByteArray& block, qsizetype alreadySent)
{
    if (count_ == ring_.size()) {
        Grow();
    }
    if (count_ == 0) {
        frontOffset_ = alreadySent;
    }
    At(count_) = block;
    ++count_;
}

void SendQueue::Grow()
{
    std::vector<QByteArray> larger(std::max<size_t>(4, ring_.size() * 2));
    for (size_t i = 0; i < count_; ++i) {
        larger[i] = std::move(At(i));
    }
    ring_.swap(larger);
    head_ = 0;
}

int SendQueue::Gather(iovec* parts, int limit) const
{
    int used = 0;
    for (size_t i = 0; i < count_ && used < limit; ++i) {
        const QByteArray& block = At(i);
        const qsizetype skip = i == 0 ? frontOffset_ : 0;
        parts[used].iov_base = const_cast<char*>(block.constData() + skip);
        parts[used].iov_len = static_cast<size_t>(block.size() - skip);
        ++used;
    }
    return used;
}

qsizetype SendQueue::Consume(size_t bytes)
{
    qsizetype released = 0;
    while (count_ > 0) {
        QByteArray& front = At(0);
        const size_t left = static_cast<size_t>(front.size() - frontOffset_);
        if (bytes < left) {
            frontOffset_ += static_cast<qsizetype>(bytes);
            break;
        }
        bytes -= left;
        released += MemoryBudget::MemoryOf(front);
        front = QByteArray();
        head_ = (head_ + 1) & (ring_.size() - 1);
        --count_;
        frontOffset_ = 0;
    }
    if (count_ == 0 && ring_.size() > kKeptRingSize) {
        Clear();
    }
    return released;
}

void SendQueue::Clear()
{
    ring_.clear();
    ring_.shrink_to_fit();
    head_ = 0;
    count_ = 0;
    frontOffset_ = 0;
}
