// The idle limit: how it caps a gap (the command line's side: CommandLine_test).
#include <gtest/gtest.h>

#include "playback/Player.h"

namespace {

TEST(IdleLimit, ALongerGapBecomesTheLimitRoundedToTheMicrosecond)
{
    using io::FrameTime;
    // 0.3 and 2.7 are not exact in binary: truncating would lose a microsecond.
    EXPECT_EQ(CapFrameGap({5, 0}, 0.3), (FrameTime{0, 300000}));
    EXPECT_EQ(CapFrameGap({5, 0}, 2.7), (FrameTime{2, 700000}));
    EXPECT_EQ(CapFrameGap({0, 300001}, 0.3), (FrameTime{0, 300000}));
    EXPECT_EQ(CapFrameGap({0, 300000}, 0.3), (FrameTime{0, 300000}));
    // An earlier stamp stays what it is.
    EXPECT_EQ(CapFrameGap({-3, 500000}, 0.3), (FrameTime{-3, 500000}));
    EXPECT_EQ(io::SecondsToFrameTime(-0.25), (FrameTime{-1, 750000}));
    EXPECT_EQ(io::SecondsToFrameTime(1e12), std::nullopt);
}

}  // namespace
