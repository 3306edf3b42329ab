// The idle limit: which one applies, how it caps a gap, and how the command line takes it.
#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "playback/IdleLimit.h"

namespace {

TEST(IdleLimit, TheSmallerLimitCapsLongerGapsOnly)
{
    using io::FrameTime;
    EXPECT_EQ(io::EffectiveIdleLimit(std::nullopt, std::nullopt), std::nullopt);
    EXPECT_EQ(io::EffectiveIdleLimit(2.5, std::nullopt), (FrameTime{2, 500000}));
    EXPECT_EQ(io::EffectiveIdleLimit(std::nullopt, 0.75), (FrameTime{0, 750000}));
    EXPECT_EQ(io::EffectiveIdleLimit(2.5, 0.75), (FrameTime{0, 750000}));
    EXPECT_EQ(io::EffectiveIdleLimit(0.5, 3.0), (FrameTime{0, 500000}));
    // A recording's limit of 0 or less is no limit; one below a microsecond is the least.
    EXPECT_EQ(io::EffectiveIdleLimit(std::nullopt, 0.0), std::nullopt);
    EXPECT_EQ(io::EffectiveIdleLimit(1e-9, std::nullopt), (FrameTime{0, 1}));
    EXPECT_EQ(io::EffectiveIdleLimit(1e12, std::nullopt), std::nullopt);

    const std::optional<FrameTime> limit = FrameTime{2, 0};
    EXPECT_EQ(io::CapGap({5, 0}, limit), (FrameTime{2, 0}));
    EXPECT_EQ(io::CapGap({2, 1}, limit), (FrameTime{2, 0}));
    EXPECT_EQ(io::CapGap({2, 0}, limit), (FrameTime{2, 0}));
    EXPECT_EQ(io::CapGap({1, 999999}, limit), (FrameTime{1, 999999}));
    // An earlier stamp stays what it is; so does every gap without a limit.
    EXPECT_EQ(io::CapGap({-3, 500000}, limit), (FrameTime{-3, 500000}));
    EXPECT_EQ(io::CapGap({5000, 0}, std::nullopt), (FrameTime{5000, 0}));
}

TEST(IdleLimit, CommandLineTakesPositiveDecimalsOnly)
{
    const auto parse = [](const QStringList& arguments) { return ParseCommandLine(arguments); };
    EXPECT_EQ(parse({}).form.idleLimit, std::nullopt);
    for (const auto& [text, seconds] :
         {std::pair{"2", 2.0}, std::pair{"0.5", 0.5}, std::pair{".25", 0.25}, std::pair{"10.", 10.0}}) {
        const CommandLine separate = parse({QStringLiteral("--idle-limit"), QString::fromLatin1(text)});
        EXPECT_TRUE(separate.error.isEmpty()) << text;
        EXPECT_EQ(separate.form.idleLimit, seconds) << text;
        const CommandLine joined = parse({QStringLiteral("--idle-limit=") + QString::fromLatin1(text),
                                          QStringLiteral("file.cast")});
        EXPECT_EQ(joined.form.idleLimit, seconds) << text;
        EXPECT_EQ(joined.form.arguments, QStringList{QStringLiteral("file.cast")});
    }
    for (const char* bad : {"0", "0.0", "-1", "+1", "1e3", "inf", "nan", "1,5", "", "x"}) {
        const CommandLine result = parse({QStringLiteral("--idle-limit"), QString::fromLatin1(bad)});
        EXPECT_FALSE(result.error.isEmpty()) << bad;
    }
    EXPECT_FALSE(parse({QStringLiteral("--idle-limit")}).error.isEmpty());
    EXPECT_TRUE(UsageText().contains(QStringLiteral("--idle-limit SECONDS")));
}

}  // namespace
