// The bundled demo recording, read with a parser of this test's own so that a fault in
// the player's reader cannot hide a fault in the file.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <cstdint>
#include <vector>

namespace {

const char* const kDemoPath = OMBRIX_SOURCE_DIR "/samples/demo.ttyrec";

struct Frame
{
    std::int64_t micros;
    QByteArray body;
};

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::uint32_t LittleEndian32(const QByteArray& bytes, qsizetype at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

// Splits the file into frames; fails the test when a header or body is cut short.
std::vector<Frame> ParseFrames(const QByteArray& file)
{
    std::vector<Frame> frames;
    qsizetype at = 0;
    while (at < file.size()) {
        if (file.size() - at < 12) {
            ADD_FAILURE() << "header cut short at offset " << at;
            break;
        }
        const std::uint32_t seconds = LittleEndian32(file, at);
        const std::uint32_t micros = LittleEndian32(file, at + 4);
        const std::uint32_t length = LittleEndian32(file, at + 8);
        EXPECT_LT(micros, 1000000u) << "frame " << frames.size();
        if (length > static_cast<std::uint64_t>(file.size() - at - 12)) {
            ADD_FAILURE() << "body of " << length << " bytes cut short at offset " << at;
            break;
        }
        frames.push_back({std::int64_t{seconds} * 1000000 + micros, file.mid(at + 12, length)});
        at += 12 + static_cast<qsizetype>(length);
    }
    return frames;
}

TEST(DemoRecording, IsCompleteOrderedAndFitForTelnet)
{
    const QByteArray file = ReadAll(QString::fromUtf8(kDemoPath));
    ASSERT_FALSE(file.isEmpty()) << kDemoPath;
    EXPECT_LT(file.size(), 1024 * 1024);

    const std::vector<Frame> frames = ParseFrames(file);
    ASSERT_GE(frames.size(), 2u);
    bool hasByte255 = false;
    bool hasEmptyFrame = false;
    QByteArray text;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(frames[i].micros, frames[i - 1].micros) << "frame " << i;
        }
        hasByte255 = hasByte255 || frames[i].body.contains('\xff');
        hasEmptyFrame = hasEmptyFrame || frames[i].body.isEmpty();
        text += frames[i].body;
    }
    const double seconds = double(frames.back().micros - frames.front().micros) / 1e6;
    EXPECT_GE(seconds, 40.0);
    EXPECT_LE(seconds, 90.0);
    EXPECT_TRUE(hasByte255);
    EXPECT_TRUE(hasEmptyFrame);

    // The screen is cleared at the start and the end, and the title names the program.
    EXPECT_TRUE(frames.front().body.contains("\x1b[2J"));
    EXPECT_TRUE(frames.front().body.contains("Ombrix") || frames[1].body.contains("Ombrix"));
    EXPECT_TRUE(frames.back().body.contains("\x1b[2J"));

    // Apart from the deliberate byte 255 the output is well-formed UTF-8, Japanese
    // included.
    text.removeIf([](char byte) { return byte == '\xff'; });
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8.decode(text);
    EXPECT_FALSE(utf8.hasError());
    EXPECT_TRUE(decoded.contains(QStringLiteral("ご覧いただきありがとうございました")));
}

TEST(DemoRecording, ToolWritesTheCommittedFileAgain)
{
#ifdef OMBRIX_MAKE_DEMO
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString output = dir.filePath(QStringLiteral("demo.ttyrec"));
    QProcess tool;
    tool.start(QStringLiteral(OMBRIX_MAKE_DEMO), {output});
    ASSERT_TRUE(tool.waitForFinished(30000));
    ASSERT_EQ(tool.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_TRUE(ReadAll(output) == ReadAll(QString::fromUtf8(kDemoPath)))
        << "samples/demo.ttyrec is out of date: run make_demo samples/demo.ttyrec";

    // Without its one argument the tool says how to use it and writes nothing.
    tool.start(QStringLiteral(OMBRIX_MAKE_DEMO), {});
    ASSERT_TRUE(tool.waitForFinished(30000));
    EXPECT_EQ(tool.exitCode(), 2);
#else
    GTEST_SKIP() << "the demo tool's path was not given to this test";
#endif
}

}  // namespace
