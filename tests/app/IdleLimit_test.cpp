// The idle limit: how it caps a gap, and how the command line takes it.
#include <gtest/gtest.h>

#include "app/CommandLine.h"
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

TEST(IdleLimit, CommandLineTakesPositiveDecimalsOnly)
{
    const auto parse = [](const QByteArrayList& arguments) { return ParseCommandLine(arguments); };
    EXPECT_EQ(parse({}).form.idleLimit, std::nullopt);
    for (const auto& [text, seconds] : {std::pair{"2", 2.0}, std::pair{"0.5", 0.5},
                                        std::pair{".25", 0.25}, std::pair{"10.", 10.0}}) {
        const CommandLine separate = parse({"--idle-limit", text});
        EXPECT_TRUE(separate.error.isEmpty()) << text;
        EXPECT_EQ(separate.form.idleLimit, seconds) << text;
        const CommandLine joined = parse({QByteArray("--idle-limit=") + text, "file.cast"});
        EXPECT_EQ(joined.form.idleLimit, seconds) << text;
        EXPECT_EQ(joined.form.arguments, QByteArrayList{"file.cast"});
    }
    for (const char* bad : {"0", "0.0", "-1", "+1", "1e3", "inf", "nan", "1,5", "", "x"}) {
        EXPECT_FALSE(parse({"--idle-limit", bad}).error.isEmpty()) << bad;
    }
    EXPECT_FALSE(parse({"--idle-limit"}).error.isEmpty());
    EXPECT_TRUE(UsageText().contains(QStringLiteral("--idle-limit SECONDS")));
}

}  // namespace
