// Recordings read while they are being written: the format told from a file's start once
// it can be, and frames given only whole, the moment their last byte is written, whatever
// the writes' sizes.
#include "playback/GrowingSource.h"

#include <gtest/gtest.h>

#include <QFile>

#include "support/FrameReading.h"
#include "support/Ttyrec.h"

namespace {

using growing::Format;

TEST(GrowingSource, TheFormatIsToldOnceTheStartSaysIt)
{
    const QByteArray header = "{\"version\": 2, \"width\": 80, \"height\": 24}";
    const std::pair<QByteArray, Format> cases[] = {
        {"", Format::NotYet},
        {TtyrecHeader(1, 0, 5).left(11), Format::NotYet},
        {TtyrecHeader(1, 0, 5), Format::Ttyrec},
        {QByteArray("\x1f\x8b\x08\x00", 4) + QByteArray(8, '\0'), Format::Compressed},
        {QByteArray("\x28\xb5\x2f\xfd") + QByteArray(8, 'x'), Format::Compressed},
        {header, Format::NotYet},  // the header line is not whole yet
        {header + "\n", Format::Asciicast},
        {"{\"version\": 3, \"term\": {\"cols\": 80, \"rows\": 24}}\n[0.1", Format::Asciicast},
        {"{\"version\": 1, \"stdout\": []}\n", Format::Version1},
        {"{\n  \"version\": 1,\n", Format::Version1},  // spread over lines
        {"{\"version\": 7, \"width\": 80}\n", Format::Invalid},
        {"{\"" + QByteArray(growing::kMaxHeaderLine, 'x'), Format::Invalid},
    };
    for (const auto& [head, format] : cases) {
        EXPECT_EQ(growing::FormatOfHead(head), format) << head.left(60).toStdString();
    }
}

// Writes the recording into a file a byte at a time, reading the source after each byte:
// returns, for each length written, how many frames had been read whole, and checks that
// the frames are the expected ones, each as soon as its last byte is there.
std::vector<Frame> ReadWhileWritten(const QByteArray& bytes, qsizetype openAt, Format format,
                                    std::vector<qsizetype>* wholeAt)
{
    RecordingFolder folder;
    const QString path = folder.Write(QStringLiteral("live"), bytes.left(openAt));
    QFile writer(path);
    EXPECT_TRUE(writer.open(QIODevice::Append | QIODevice::Unbuffered));
    std::unique_ptr<FrameSource> source = growing::OpenGrowingSource(OpenForReading(path), format);
    std::vector<Frame> frames;
    io::FrameHeader header;
    QByteArray body;
    for (qsizetype written = openAt; written <= bytes.size(); ++written) {
        if (written > openAt) {
            writer.write(bytes.mid(written - 1, 1));
        }
        io::FrameReadStatus status;
        while ((status = source->Next(header, body)) == io::FrameReadStatus::Frame) {
            frames.push_back({header.time, body});
            wholeAt->push_back(written);
        }
        EXPECT_EQ(status, io::FrameReadStatus::Waiting) << written;
    }
    // A catch-up reads the same frames, from the first.
    EXPECT_EQ(ReadAll(*source->NewCatchUpCursor()).frames, frames);
    return frames;
}

TEST(GrowingSource, TtyrecFramesAreGivenWholeTheMomentTheirLastByteIsWritten)
{
    const std::vector<TestFrame> recorded = {
        {10, 5, "first\r\n"}, {11, 0, ""}, {12, 7, QByteArray("\xff\x00 bytes", 8)}};
    const QByteArray bytes = TtyrecBytes(recorded);
    std::vector<qsizetype> wholeAt;
    const std::vector<Frame> frames = ReadWhileWritten(bytes, 0, Format::Ttyrec, &wholeAt);
    ASSERT_EQ(frames.size(), recorded.size());
    qsizetype end = 0;
    for (size_t i = 0; i < recorded.size(); ++i) {
        end += static_cast<qsizetype>(io::kFrameHeaderSize) + recorded[i].body.size();
        EXPECT_EQ(frames[i],
                  (Frame{{recorded[i].seconds, recorded[i].microseconds}, recorded[i].body}));
        EXPECT_EQ(wholeAt[i], end);
    }
}

TEST(GrowingSource, AsciicastEventsAreGivenOnceTheirLineIsWhole)
{
    for (const QByteArray& header : {QByteArray("{\"version\": 2, \"width\": 80}\n"),
                                     QByteArray("{\"version\": 3, \"term\": {}}\n")}) {
        const QByteArray bytes = header +
                                 "[0.5, \"o\", \"one\"]\n"
                                 "[1, \"i\", \"typed\"]\n"
                                 "[1.5, \"o\", \"tw\\u00f6\"]\n";
        std::vector<qsizetype> wholeAt;
        const std::vector<Frame> frames =
            ReadWhileWritten(bytes, header.size(), Format::Asciicast, &wholeAt);
        const bool v3 = header.contains("\"version\": 3");
        // v3 adds the intervals up, the input event's too.
        const io::FrameTime second = v3 ? io::FrameTime{3, 0} : io::FrameTime{1, 500000};
        EXPECT_EQ(frames, (std::vector<Frame>{{{0, 500000}, "one"}, {second, "tw\xc3\xb6"}}));
        EXPECT_EQ(wholeAt, (std::vector<qsizetype>{bytes.indexOf("]\n[1,") + 2, bytes.size()}));
    }
}

}  // namespace
