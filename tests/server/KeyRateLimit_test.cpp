#include "server/KeyRateLimit.h"

#include <gtest/gtest.h>

namespace {

using Clock = KeyRateLimit::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// How many of `keys` keys act when they come `gap` apart, from a rested bucket.
int KeysActing(int keys, microseconds gap)
{
    KeyRateLimit limit;
    Clock::time_point now{std::chrono::hours(1)};
    int acted = 0;
    for (int i = 0; i < keys; ++i, now += gap) {
        acted += limit.Take(now) ? 1 : 0;
    }
    return acted;
}

}  // namespace

TEST(KeyRateLimit, EveryKeyAPersonPressesActsAndAFloodIsCutToTheRate)
{
    // Typing, and a key held for half a minute at 50 repeats a second.
    EXPECT_EQ(KeysActing(200, milliseconds(120)), 200);
    EXPECT_EQ(KeysActing(1500, milliseconds(20)), 1500);
    // A paste or a flood all at once: the burst, then nothing.
    EXPECT_EQ(KeysActing(100000, milliseconds(0)), KeyRateLimit::kBurst);
    // A sustained flood: the burst, then the rate (10 s at a key every 0.1 ms).
    const int acted = KeysActing(100000, microseconds(100));
    EXPECT_GE(acted, KeyRateLimit::kBurst + 10 * KeyRateLimit::kPerSecond - 1);
    EXPECT_LE(acted, KeyRateLimit::kBurst + 10 * KeyRateLimit::kPerSecond + 1);
}
