// The send ring: order across wrap-around and growth, partial sends, and the memory it
// reports as released.
#include <gtest/gtest.h>

#include "server/MemoryBudget.h"
#include "server/SendQueue.h"

namespace {

// Everything Gather describes, as one byte string.
QByteArray Gathered(const SendQueue& queue)
{
    iovec parts[256];
    const int used = queue.Gather(parts, 256);
    QByteArray bytes;
    for (int i = 0; i < used; ++i) {
        bytes.append(static_cast<const char*>(parts[i].iov_base),
                     static_cast<qsizetype>(parts[i].iov_len));
    }
    return bytes;
}

TEST(SendQueue, KeepsOrderThroughWrapAroundGrowthAndPartialSends)
{
    SendQueue queue;
    QByteArray expected;  // what the queue must still send, in order
    qsizetype held = 0;
    int next = 0;
    for (int round = 0; round < 40; ++round) {
        // Pushes outrun the sends by one block a round, so the ring wraps and then grows
        // while wrapped.
        for (int i = 0; i < 3; ++i, ++next) {
            QByteArray block(10 + next % 7, static_cast<char>('a' + next % 26));
            block.reserve(3 * block.size());
            const qsizetype skip = queue.Empty() && next % 2 == 0 ? 2 : 0;
            queue.Push(block, skip);
            expected += block.mid(skip);
            held += MemoryBudget::MemoryOf(block);
        }
        ASSERT_EQ(Gathered(queue), expected) << "round " << round;
        // Sends two blocks' worth and a few bytes more, ending inside a block.
        const size_t sent = static_cast<size_t>(2 * 10 + round % 5);
        held -= queue.Consume(sent);
        expected.remove(0, static_cast<qsizetype>(sent));
        ASSERT_EQ(Gathered(queue), expected) << "round " << round;
    }
    held -= queue.Consume(static_cast<size_t>(expected.size()));
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(held, 0) << "released memory must add up to what was queued";
    // Reusable after draining past its kept size.
    queue.Push(QByteArray("tail"), 1);
    EXPECT_EQ(Gathered(queue), QByteArray("ail"));
}

}  // namespace
