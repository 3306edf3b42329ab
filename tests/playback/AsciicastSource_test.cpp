// asciicast recordings, versions 1 to 3: output events as frames at the right times, the
// header's size and idle limit, and lines that do not parse.
#include <gtest/gtest.h>

#include "playback/AsciicastParser.h"
#include "playback/AsciicastSource.h"
#include "playback/LineReader.h"
#include "support/FrameReading.h"
#include "support/Ttyrec.h"

namespace {

// Each recording written under a fresh name and opened as the player opens it.
class Cast
{
public:
    std::unique_ptr<FrameSource> Open(const QByteArray& bytes)
    {
        return io::OpenAsciicastSource(
            OpenForReading(folder_.WriteNew(QStringLiteral(".cast"), bytes)));
    }

private:
    RecordingFolder folder_;
};

Frame At(int32_t seconds, int32_t microseconds, const char* body)
{
    return Frame{{seconds, microseconds}, QByteArray(body)};
}

TEST(Asciicast, EachVersionTimesItsOutputEventsAndSkipsTheOthers)
{
    Cast cast;
    // v2: absolute times, rounded to the nearest microsecond (truncating would give 0 and
    // 1 s 0 µs here).
    const QByteArray v2 =
        "{\"version\": 2, \"width\": 100, \"height\": 30, \"idle_time_limit\": 1.5}\n"
        "[0.0000006, \"o\", \"a\"]\n"
        "[0.5, \"i\", \"typed\"]\n"
        "\n"
        "[1.9999996, \"o\", \"\\u3053\\u3093 \\u001b[1m\"]\n"
        "[2.5, \"r\", \"90x20\"]\n"
        "[3.25, \"o\", \"\"]\n"
        "[4, \"o\", \"last\"]";  // no line break after the last line
    std::unique_ptr<FrameSource> source = cast.Open(v2);
    EXPECT_EQ(source->TerminalSize(), QSize(100, 30));
    EXPECT_EQ(source->IdleTimeLimit(), 1.5);
    Reading reading = ReadAll(*source);
    EXPECT_EQ(reading.frames,
              (std::vector<Frame>{At(0, 1, "a"), At(2, 0, "こん \x1b[1m"), At(4, 0, "last")}));
    EXPECT_EQ(reading.end, io::FrameReadStatus::EndOfFile);

    // v3: intervals from the previous event of any code; comments; size under "term".
    const QByteArray v3 =
        "{\"version\": 3, \"term\": {\"cols\": 132, \"rows\": 43}}\n"
        "# a comment\n"
        "[0.25, \"o\", \"a\"]\n"
        "[0.5, \"i\", \"x\"]\n"
        "[0.5, \"m\", \"\"]\n"
        "[0.1, \"o\", \"b\"]\n";
    source = cast.Open(v3);
    EXPECT_EQ(source->TerminalSize(), QSize(132, 43));
    EXPECT_EQ(source->IdleTimeLimit(), std::nullopt);
    reading = ReadAll(*source);
    EXPECT_EQ(reading.frames, (std::vector<Frame>{At(0, 250000, "a"), At(1, 350000, "b")}));
    EXPECT_EQ(reading.end, io::FrameReadStatus::EndOfFile);

    // v1: one object, pretty-printed over several lines, delays from the previous entry.
    const QByteArray v1 =
        "{\n  \"version\": 1,\n  \"width\": 80,\n  \"height\": 24,\n"
        "  \"stdout\": [\n    [0.5, \"x\"],\n    [0.25, \"\"],\n"
        "    [1.25, \"y\"]\n  ]\n}\n";
    source = cast.Open(v1);
    EXPECT_EQ(source->TerminalSize(), QSize(80, 24));
    reading = ReadAll(*source);
    EXPECT_EQ(reading.frames, (std::vector<Frame>{At(0, 500000, "x"), At(2, 0, "y")}));
    EXPECT_EQ(reading.end, io::FrameReadStatus::EndOfFile);
}

// A page's terminal allocates what the recording asks for; no terminal shows more than a
// thousand cells either way.
TEST(Asciicast, ATerminalLargerThanAnyIsPlayedAtTheLargestAndSaidOnce)
{
    Cast cast;
    const std::pair<QByteArray, QSize> cases[] = {
        {"{\"version\": 2, \"width\": 2147483647, \"height\": 24}\n", QSize(1000, 24)},
        {"{\"version\": 3, \"term\": {\"cols\": 1e10, \"rows\": 5000}}\n", QSize(1000, 1000)},
        {"{\"version\": 1, \"width\": 80, \"height\": 1001, \"stdout\": []}", QSize(80, 1000)},
    };
    for (const auto& [header, played] : cases) {
        SCOPED_TRACE(header.toStdString());
        testing::internal::CaptureStderr();
        EXPECT_EQ(cast.Open(header)->TerminalSize(), played);
        const QString said = QString::fromLocal8Bit(testing::internal::GetCapturedStderr());
        EXPECT_EQ(said.count(QLatin1Char('\n')), 1) << said.toStdString();
        EXPECT_TRUE(said.contains(
            QStringLiteral("played as %1x%2").arg(played.width()).arg(played.height())))
            << said.toStdString();
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(cast.Open("{\"version\": 2, \"width\": 1000, \"height\": 1000}\n")->TerminalSize(),
              QSize(1000, 1000));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Asciicast, ALineThatDoesNotParseEndsWithFormatErrorAfterTheFramesBeforeIt)
{
    Cast cast;
    const QByteArray header = "{\"version\": 2, \"width\": 80, \"height\": 24}\n";
    const QByteArray good = "[1, \"o\", \"one\"]\n[2, \"o\", \"two\"]\n";
    for (const QByteArray& bad :
         {QByteArray("[3, \"o\", \"cut"), QByteArray("not json\n"), QByteArray("{\"o\": 1}\n"),
          QByteArray("[\"3\", \"o\", \"x\"]\n"), QByteArray("[3, \"o\", 7]\n"),
          QByteArray("[3, 7, \"x\"]\n"), QByteArray("[1e300, \"o\", \"x\"]\n"),
          QByteArray("[3, \"o\"]\n"),
          QByteArray(QByteArray("[3, \"o\", \"") + QByteArray(3 << 20, 'x') + "\"]\n")}) {
        SCOPED_TRACE(bad.left(40).toStdString());
        std::unique_ptr<FrameSource> source =
            cast.Open(QByteArray(header + good + bad + "[4, \"o\", \"after\"]\n"));
        std::unique_ptr<FrameCursor> catchUp = source->NewCatchUpCursor();
        const Reading played = ReadAll(*source);
        EXPECT_EQ(played.frames, (std::vector<Frame>{At(1, 0, "one"), At(2, 0, "two")}));
        EXPECT_EQ(played.end, io::FrameReadStatus::FormatError);
        io::FrameHeader frameHeader;
        QByteArray body;
        EXPECT_EQ(source->Next(frameHeader, body), io::FrameReadStatus::FormatError);
        source.reset();
        const Reading caughtUp = ReadAll(*catchUp);
        EXPECT_EQ(caughtUp.frames, played.frames);
        EXPECT_EQ(caughtUp.end, played.end);
        // What it reads ahead counts in what viewers hold, and less once it lets go.
        const qsizetype held = catchUp->HeldBytes();
        EXPECT_GT(held, 0);
        catchUp->ReleaseBuffers();
        EXPECT_LT(catchUp->HeldBytes(), held);
    }
    // Files that start like JSON but hold no asciicast this reads: no frame at all.
    for (const QByteArray& notCast :
         {QByteArray("{\"version\": 4}\n[1, \"o\", \"x\"]\n"), QByteArray("{\"a\": 1}\n"),
          QByteArray("{\"stdout\": [[0.5, \"x\"]], \"version\": \"1\"}"),
          QByteArray(QByteArray("{\"version\": 1, \"title\": \"") + QByteArray(2 << 20, 't') +
                     "\", \"stdout\": [[0.5, \"x\"]]}")}) {
        SCOPED_TRACE(notCast.left(40).toStdString());
        const Reading reading = ReadAll(*cast.Open(notCast));
        EXPECT_TRUE(reading.frames.empty());
        EXPECT_EQ(reading.end, io::FrameReadStatus::FormatError);
    }
    // A v1 object that breaks after an entry (an entry that is no [delay, text] pair, the
    // object cut short, bytes after it) ends there, after the entries before.
    for (const QByteArray& tail :
         {QByteArray(", [\"late\", \"y\"]]}"), QByteArray("\n"), QByteArray("]"),
          QByteArray("]} {}"), QByteArray("], \"title\" \"t\"}"), QByteArray(" [1, \"y\"]]}"),
          QByteArray(QByteArray(", [1, \"") + QByteArray(3 << 20, 'y') + "\"]]}")}) {
        SCOPED_TRACE(tail.left(40).toStdString());
        const Reading v1 = ReadAll(*cast.Open("{\"version\": 1, \"stdout\": [[0.5, \"x\"]" + tail));
        EXPECT_EQ(v1.frames, std::vector<Frame>{At(0, 500000, "x")});
        EXPECT_EQ(v1.end, io::FrameReadStatus::FormatError);
    }
}

// A v1 recording is read as it plays, one entry at a time: its keys in any order, its
// entries across the reader's blocks, and no bound on its size.
TEST(Asciicast, Version1IsReadAsAStreamWhateverItsSizeOrTheOrderOfItsKeys)
{
    Cast cast;
    // Texts that look like the object's own structure, and ones longer than a read block.
    std::vector<Frame> expected;
    QByteArray entries;
    for (int i = 0; i < 300; ++i) {
        QByteArray json = "]},\\\"[{" + QByteArray::number(i);  // ]},\"[{i
        QByteArray text = "]},\"[{" + QByteArray::number(i);
        if (i % 50 == 7) {
            json = text = QByteArray(70000 + i, static_cast<char>('a' + i % 26));
        }
        entries += (i > 0 ? ",\n  " : "") + QByteArray("[0.25, \"") + json + "\"]";
        expected.push_back({io::SecondsToFrameTime(0.25 * (i + 1)).value(), text});
    }
    const QByteArray stdoutKey = "\"stdout\": [" + entries + "]";
    const QByteArray header = "\"version\": 1, \"width\": 100, \"height\": 40";
    const QByteArray orders[] = {
        "{" + header + ", " + stdoutKey + "}",
        "{" + stdoutKey + ", " + header + "}\n",
        "\xef\xbb\xbf {\"env\": {\"TERM\": \"x]\"}, " + stdoutKey + ",\n" + header + "}",
    };
    for (const QByteArray& v1 : orders) {
        std::unique_ptr<FrameSource> source = cast.Open(v1);
        EXPECT_EQ(source->TerminalSize(), QSize(100, 40));
        std::unique_ptr<FrameCursor> catchUp = source->NewCatchUpCursor();
        const Reading played = ReadAll(*source);
        EXPECT_EQ(played.frames, expected);
        EXPECT_EQ(played.end, io::FrameReadStatus::EndOfFile);
        const Reading caughtUp = ReadAll(*catchUp);
        EXPECT_EQ(caughtUp.frames, expected);
    }
    // Past 64 MiB, which a file read whole could not be.
    const QByteArray big = "{\"version\": 1, \"stdout\": [[0.5, \"x\"]" +
                           QByteArray(65 << 20, ' ') + ", [0.5, \"y\"]]}";
    const Reading reading = ReadAll(*cast.Open(big));
    EXPECT_EQ(reading.frames, (std::vector<Frame>{At(0, 500000, "x"), At(1, 0, "y")}));
    EXPECT_EQ(reading.end, io::FrameReadStatus::EndOfFile);
}

TEST(Asciicast, RecognisedByContentOnly)
{
    EXPECT_TRUE(asciicast::LooksLikeAsciicast("{\"version\": 2}"));
    EXPECT_TRUE(asciicast::LooksLikeAsciicast("\xef\xbb\xbf \n{\n  \"version\": 1"));
    EXPECT_FALSE(asciicast::LooksLikeAsciicast("[1, \"o\", \"x\"]"));
    EXPECT_FALSE(asciicast::LooksLikeAsciicast(""));
    // A raw ttyrec whose first stamp's low byte is '{'.
    EXPECT_FALSE(asciicast::LooksLikeAsciicast(QByteArray(TtyrecHeader(0x6502a17b, 0, 1) + "x")));
}

// Reads every line through a reader with the given bound.
std::vector<QByteArray> Lines(const QByteArray& bytes, qsizetype bound, LineReader::Status& end)
{
    QByteArray copy = bytes;
    io::FilePtr file(fmemopen(copy.data(), static_cast<size_t>(copy.size()), "rb"));
    io::StreamInput input(file.get());
    LineReader reader(input, bound);
    std::vector<QByteArray> lines;
    QByteArray line;
    while ((end = reader.Next(line)) == LineReader::Status::Line) {
        lines.push_back(line);
    }
    return lines;
}

TEST(LineReader, LinesAcrossBlockBordersUpToTheBoundThenTooLong)
{
    // Lengths that put line breaks on, just before and just after the 64 KiB block
    // borders the reader fills its buffer in.
    std::vector<QByteArray> expected;
    QByteArray bytes;
    for (qsizetype length : {0, 65535, 0, 1, 65534, 200000, 3, 131071}) {
        expected.push_back(QByteArray(length, static_cast<char>('a' + expected.size())));
        bytes += expected.back() + '\n';
    }
    expected.push_back("tail");
    bytes += "tail";
    LineReader::Status end;
    EXPECT_EQ(Lines(bytes, 200000, end), expected);
    EXPECT_EQ(end, LineReader::Status::End);

    // One byte over the bound, with and without a line break after it.
    for (const QByteArray& tooLong :
         {QByteArray(QByteArray("ok\n") + QByteArray(200001, 'x') + "\nnext\n"),
          QByteArray(QByteArray("ok\n") + QByteArray(300000, 'x'))}) {
        EXPECT_EQ(Lines(tooLong, 200000, end), std::vector<QByteArray>{"ok"});
        EXPECT_EQ(end, LineReader::Status::TooLong);
    }
}

}  // namespace
