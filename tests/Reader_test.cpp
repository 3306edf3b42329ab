// The frame reader as the form runs it: frames in order, escaping, and every failure
// as a text in the file panel with the recording closed.
#include <gtest/gtest.h>

#include "app/Texts.h"
#include "support/FormFixture.h"

namespace {

// Reads frames until the recording closes; returns the escaped frames read.
std::vector<QByteArray> ReadAll(TFormOmbrix& form)
{
    std::vector<QByteArray> frames;
    while (form.RecordingFile) {
        frames.push_back(*form.FrameBuffer);
        form.ReadNextFrame(false, true);
    }
    return frames;
}

TEST(Reader, ReadsEveryFrameEscapedThenEndOfFile)
{
    FormFixture fixture;
    const std::vector<TestFrame> frames = {
        {1, 0, "hello"}, {1, 500, ""}, {2, 0, QByteArray("\xff\x00\xff", 3)}, {3, 0, "bye"}};
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("a.ttyrec", TtyrecBytes(frames))));
    TFormOmbrix& form = fixture.Form();
    EXPECT_EQ(form.StatusText(1), QStringLiteral("a.ttyrec"));

    const std::vector<QByteArray> read = ReadAll(form);
    ASSERT_EQ(read.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(read[i], NaiveEscape(frames[i].body)) << "frame " << i;
    }
    EXPECT_EQ(form.StatusText(1), Texts::EndOfFile);
    EXPECT_FALSE(form.FrameBuffer.has_value());
}

TEST(Reader, FailureTexts)
{
    struct Case
    {
        const char* name;
        QByteArray bytes;
        QString text;
    };
    const Case cases[] = {
        {"empty", QByteArray(), Texts::EndOfFile},
        {"header cut at 2", TtyrecHeader(1, 2, 3).left(2), Texts::EndOfFile},
        {"header cut at 7", TtyrecHeader(1, 2, 3).left(7), "0" + Texts::ReadFailedSuffix},
        {"header cut at 11", TtyrecHeader(1, 2, 3).left(11), "0" + Texts::ReadFailedSuffix},
        {"no body", TtyrecHeader(1, 2, 4096), "4096" + Texts::ReadFailedSuffix},
        {"over the bound", TtyrecHeader(1, 2, 16777217) + "x",
         "16777217" + Texts::AllocationFailedSuffix},
        {"negative", TtyrecHeader(1, 2, -5) + "x", "-5" + Texts::AllocationFailedSuffix},
    };
    for (const Case& c : cases) {
        FormFixture fixture;
        EXPECT_FALSE(fixture.Open(fixture.WriteRecording("r", c.bytes))) << c.name;
        EXPECT_EQ(fixture.Form().StatusText(1), c.text) << c.name;
        EXPECT_FALSE(fixture.Form().RecordingFile) << c.name;
        EXPECT_FALSE(fixture.Form().FrameBuffer.has_value()) << c.name;
    }
    FormFixture fixture;
    EXPECT_FALSE(fixture.Open(fixture.Dir().filePath("missing")));
    EXPECT_EQ(fixture.Form().StatusText(1), Texts::OpenFailed);
    EXPECT_FALSE(fixture.Open(fixture.Dir().path()));
    EXPECT_EQ(fixture.Form().StatusText(1), Texts::OpenFailed);
}

TEST(Reader, LargestFrameIsAcceptedAndTheBoundRefusedAfterAGoodFrame)
{
    FormFixture fixture;
    const QByteArray largest(io::kMaxFrameLength, 'x');
    QByteArray bytes = TtyrecBytes({{0, 0, largest}});
    bytes += TtyrecHeader(1, 0, io::kMaxFrameLength + 1) + "y";
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("big", bytes)));
    EXPECT_EQ(fixture.Form().FrameBuffer->size(), io::kMaxFrameLength);
    fixture.Form().ReadNextFrame(false, true);
    EXPECT_EQ(fixture.Form().StatusText(1),
              QString::number(io::kMaxFrameLength + 1) + Texts::AllocationFailedSuffix);
}

TEST(Reader, BodyCutShortKeepsOnlyWhatWasRead)
{
    FormFixture fixture;
    QByteArray bytes = TtyrecBytes({{0, 0, "first"}});
    bytes += TtyrecHeader(1, 0, 10) + QByteArray("ab\xff", 3);
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("cut", bytes)));
    TFormOmbrix& form = fixture.Form();
    form.ReadNextFrame(false, true);
    ASSERT_TRUE(form.FrameBuffer.has_value());
    EXPECT_EQ(*form.FrameBuffer, QByteArray("ab\xff\xff", 4));
    EXPECT_EQ(form.FrameHeader.length, 4);
    form.ReadNextFrame(false, true);
    EXPECT_EQ(form.StatusText(1), Texts::EndOfFile);
}

TEST(Reader, OpeningAgainReplacesTheRecording)
{
    FormFixture fixture;
    ASSERT_TRUE(
        fixture.Open(fixture.WriteRecording("one", TtyrecBytes({{0, 0, "1"}, {1, 0, "2"}}))));
    fixture.Form().ReadNextFrame(false, true);
    ASSERT_TRUE(fixture.Open(fixture.WriteRecording("two", TtyrecBytes({{5, 0, "A"}}))));
    EXPECT_EQ(*fixture.Form().FrameBuffer, QByteArray("A"));
    EXPECT_EQ(fixture.Form().StatusText(1), QStringLiteral("two"));
    EXPECT_EQ(fixture.Form().StatusText(2), QStringLiteral("0秒"));
}

}  // namespace
