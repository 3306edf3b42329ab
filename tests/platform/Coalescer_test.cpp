#include "platform/Coalescer.h"

#include <gtest/gtest.h>

#include <QTest>
#include <vector>

TEST(Coalescer, AChangeGoesAtOnceAndAFloodGoesAsItsLatestValue)
{
    std::vector<int> told;
    Coalescer coalescer(std::chrono::milliseconds(40), [&](int value) { told.push_back(value); });
    coalescer.Offer(2);
    EXPECT_EQ(told, std::vector<int>{2});
    for (int value : {4, 8, 16, 32}) {
        coalescer.Offer(value);
    }
    EXPECT_EQ(told, std::vector<int>{2});
    ASSERT_TRUE(QTest::qWaitFor([&] { return told.size() == 2; }, 1000));
    EXPECT_EQ(told.back(), 32);

    // Back to what went last within the interval: nothing more to tell.
    QTest::qWait(60);
    coalescer.Offer(16);
    coalescer.Offer(1);
    coalescer.Offer(16);
    QTest::qWait(100);
    EXPECT_EQ(told, (std::vector<int>{2, 32, 16}));
}
