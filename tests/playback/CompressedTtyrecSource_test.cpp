// Compressed ttyrec recordings, made with the real compression tools: the frames of the
// raw file, catch-ups that see the same from the spool, and damaged data.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QProcess>
#include <QTemporaryDir>

#include "playback/ArchiveInput.h"
#include "playback/CompressedTtyrecSource.h"
#include "playback/SpoolFile.h"
#include "support/FrameReading.h"
#include "support/Ttyrec.h"

namespace {

// The raw file's frames, read the way a plain recording is.
Reading ReadRaw(const QByteArray& bytes)
{
    Reading reading;
    QByteArray copy = bytes;
    io::FilePtr file(fmemopen(copy.data(), static_cast<size_t>(copy.size()), "rb"));
    io::FrameHeader header;
    QByteArray body;
    while ((reading.end = io::ReadFrame(file.get(), header, body)) == io::FrameReadStatus::Frame) {
        reading.frames.push_back({header.time, body});
    }
    return reading;
}

// The tool's output for the bytes (gzip, bzip2, xz, zstd).
QByteArray Compress(const QString& tool, const QByteArray& bytes, QStringList arguments = {})
{
    QProcess process;
    arguments.append(QStringLiteral("-c"));
    if (tool == QLatin1String("zstd")) {
        arguments.prepend(QStringLiteral("-q"));
    }
    process.start(tool, arguments);
    process.write(bytes);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(60000)) << tool.toStdString();
    EXPECT_EQ(process.exitCode(), 0) << tool.toStdString();
    return process.readAllStandardOutput();
}

// Many frames of text that compresses only moderately, so that damage lands mid-stream.
QByteArray LargeRecording()
{
    std::vector<TestFrame> frames;
    uint32_t seed = 12345;
    for (int i = 0; i < 3000; ++i) {
        QByteArray body;
        const int length = 200 + i % 400;
        for (int j = 0; j < length; ++j) {
            seed = seed * 1103515245u + 12345u;
            body.append(static_cast<char>(' ' + (seed >> 16) % 95));
        }
        frames.push_back({1000 + i / 10, (i % 10) * 100000, body});
    }
    return TtyrecBytes(frames);
}

const QStringList kTools = {QStringLiteral("gzip"), QStringLiteral("bzip2"), QStringLiteral("xz"),
                            QStringLiteral("zstd")};

TEST(CompressedTtyrec, EveryCompressionPlaysTheRawFramesAndCatchUpsSeeTheSameAfterTheSourceIsGone)
{
    QTemporaryDir folder;
    // 0xFF bytes, an empty frame, and a last body cut short: the raw rules hold inside a
    // stream that decompresses cleanly.
    QByteArray raw = TtyrecBytes({{5, 0, "one\xff"}, {5, 250000, "\xff\xfftwo"}, {6, 0, "three"}});
    raw += TtyrecHeader(7, 0, 10) + "cut";
    const Reading expected = ReadRaw(raw);
    ASSERT_EQ(expected.frames.size(), 4u);
    for (const QString& tool : kTools + QStringList{QStringLiteral("lz4")}) {
        SCOPED_TRACE(tool.toStdString());
        const QString path = folder.filePath(QStringLiteral("r.") + tool);
        ASSERT_TRUE(WriteFile(path, Compress(tool, raw)));
        std::unique_ptr<FrameSource> source = io::OpenCompressedTtyrecSource(OpenForReading(path));
        ASSERT_NE(source, nullptr);
        std::unique_ptr<FrameCursor> early = source->NewCatchUpCursor();
        const Reading played = ReadAll(*source);
        EXPECT_EQ(played.frames, expected.frames);
        EXPECT_EQ(played.end, expected.end);
        std::unique_ptr<FrameCursor> late = source->NewCatchUpCursor();
        source.reset();
        ASSERT_NE(early, nullptr);
        ASSERT_NE(late, nullptr);
        for (FrameCursor* cursor : {early.get(), late.get()}) {
            const Reading caughtUp = ReadAll(*cursor);
            EXPECT_EQ(caughtUp.frames, expected.frames);
            EXPECT_EQ(caughtUp.end, expected.end);
        }
    }
}

// Reads the damaged file; checks that it ends with DecompressFailed, that a catch-up sees
// the same, and returns the frames played.
std::vector<Frame> PlayDamaged(const QString& path)
{
    std::unique_ptr<FrameSource> source = io::OpenCompressedTtyrecSource(OpenForReading(path));
    EXPECT_NE(source, nullptr);
    if (!source) {
        return {};
    }
    const Reading played = ReadAll(*source);
    EXPECT_EQ(played.end, io::FrameReadStatus::DecompressFailed);
    io::FrameHeader header;
    QByteArray body;
    EXPECT_EQ(source->Next(header, body), io::FrameReadStatus::DecompressFailed);
    const Reading caughtUp = ReadAll(*source->NewCatchUpCursor());
    EXPECT_EQ(caughtUp.frames, played.frames);
    EXPECT_EQ(caughtUp.end, io::FrameReadStatus::DecompressFailed);
    return played.frames;
}

TEST(CompressedTtyrec, TruncatedFilePlaysTheWholeFramesBeforeTheCutThenDecompressFailed)
{
    QTemporaryDir folder;
    const QByteArray raw = LargeRecording();
    const Reading all = ReadRaw(raw);
    for (const QString& tool : kTools) {
        SCOPED_TRACE(tool.toStdString());
        // bzip2 decodes a block only once it has all of it: blocks of 100 kB.
        const QByteArray compressed =
            Compress(tool, raw, tool == QLatin1String("bzip2") ? QStringList{"-1"} : QStringList{});
        const QString path = folder.filePath(QStringLiteral("cut.") + tool);
        ASSERT_TRUE(WriteFile(path, compressed.first(compressed.size() / 2)));
        const std::vector<Frame> played = PlayDamaged(path);
        // Frames from before the cut, none after it, each one whole.
        ASSERT_GT(played.size(), all.frames.size() / 5);
        ASSERT_LT(played.size(), all.frames.size());
        for (size_t i = 0; i < played.size(); ++i) {
            ASSERT_EQ(played[i], all.frames[i]) << "frame " << i;
        }
    }
}

TEST(CompressedTtyrec, CorruptedBlockEndsWithDecompressFailedAfterTheBlocksBeforeIt)
{
    QTemporaryDir folder;
    const QByteArray raw = LargeRecording();
    const Reading all = ReadRaw(raw);
    // Blocks of 100 kB, each with its own check; the damage is in one of the last.
    QByteArray compressed = Compress(QStringLiteral("bzip2"), raw, {QStringLiteral("-1")});
    const qsizetype at = compressed.size() * 9 / 10;
    compressed[at] = static_cast<char>(compressed[at] ^ 0x55);
    const QString path = folder.filePath(QStringLiteral("bad-block.bz2"));
    ASSERT_TRUE(WriteFile(path, compressed));
    const std::vector<Frame> played = PlayDamaged(path);
    ASSERT_GT(played.size(), all.frames.size() / 2);
    ASSERT_LT(played.size(), all.frames.size());
    // The blocks before the damaged one decode whole.
    for (size_t i = 0; i < all.frames.size() / 2; ++i) {
        ASSERT_EQ(played[i], all.frames[i]) << "frame " << i;
    }
}

TEST(CompressedTtyrec, CatchUpReadsTheSpoolNotTheCompressedFile)
{
    QTemporaryDir folder;
    const QByteArray raw = TtyrecBytes({{1, 0, "a"}, {2, 0, "b"}, {3, 0, "c"}});
    const QString path = folder.filePath(QStringLiteral("r.gz"));
    ASSERT_TRUE(WriteFile(path, Compress(QStringLiteral("gzip"), raw)));
    std::unique_ptr<FrameSource> source = io::OpenCompressedTtyrecSource(OpenForReading(path));
    ASSERT_NE(source, nullptr);
    const Reading played = ReadAll(*source);
    ASSERT_EQ(played.frames.size(), 3u);
    // The same file, overwritten in place: only a cursor that decompresses again sees it.
    ASSERT_TRUE(WriteFile(path, QByteArray(64, 'x')));
    std::unique_ptr<FrameCursor> cursor = source->NewCatchUpCursor();
    EXPECT_EQ(ReadAll(*cursor).frames, played.frames);
    // What it reads ahead counts in what viewers hold, until it lets go of it.
    EXPECT_GT(cursor->HeldBytes(), 0);
    cursor->ReleaseBuffers();
    EXPECT_EQ(cursor->HeldBytes(), 0);
}

// Points the cache, runtime and temporary folders below a plain file, where no folder can
// be made, for the life of the object.
class NoSpoolFolders
{
public:
    explicit NoSpoolFolders(const QString& file)
    {
        for (const char* name : {"XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
            saved_.emplace_back(name, qgetenv(name));
            qputenv(name, QFile::encodeName(file + QStringLiteral("/below")));
        }
    }
    ~NoSpoolFolders()
    {
        for (const auto& [name, value] : saved_) {
            if (value.isNull()) {
                qunsetenv(name);
            } else {
                qputenv(name, value);
            }
        }
    }

private:
    std::vector<std::pair<const char*, QByteArray>> saved_;
};

TEST(CompressedTtyrec, WithoutASpoolCatchUpsDecompressTheFileAgain)
{
    QTemporaryDir folder;
    const QString plainFile = folder.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(WriteFile(plainFile, "x"));
    const QByteArray raw = TtyrecBytes({{1, 0, "a\xff"}, {2, 0, "b"}});
    const QString path = folder.filePath(QStringLiteral("r.xz"));
    ASSERT_TRUE(WriteFile(path, Compress(QStringLiteral("xz"), raw)));

    NoSpoolFolders noSpool(plainFile);
    ASSERT_FALSE(CreateSpoolFile().Valid());
    std::unique_ptr<FrameSource> source = io::OpenCompressedTtyrecSource(OpenForReading(path));
    ASSERT_NE(source, nullptr);
    const Reading played = ReadAll(*source);
    ASSERT_EQ(played.frames, ReadRaw(raw).frames);
    std::unique_ptr<FrameCursor> cursor = source->NewCatchUpCursor();
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(ReadAll(*cursor).frames, played.frames);
    EXPECT_GT(cursor->HeldBytes(), 0) << "the decompressor's read-ahead counts too";
}

TEST(SpoolFile, IsUnlinkedPrivateAndInTheFirstFolderThatTakesIt)
{
    QTemporaryDir folder;
    const QString plainFile = folder.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(WriteFile(plainFile, "x"));
    const QString good = folder.filePath(QStringLiteral("cache/ombrix"));
    UniqueFd spool = CreateSpoolFile({plainFile + QStringLiteral("/below"), good});
    ASSERT_TRUE(spool.Valid());
    struct stat info
    {
    };
    ASSERT_EQ(::fstat(spool.Get(), &info), 0);
    EXPECT_EQ(info.st_nlink, 0u);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(::fcntl(spool.Get(), F_GETFD) & FD_CLOEXEC, 0);
    struct stat folderInfo
    {
    };
    ASSERT_EQ(::stat(QFile::encodeName(good).constData(), &folderInfo), 0);
    EXPECT_EQ(info.st_dev, folderInfo.st_dev);
    EXPECT_EQ(folderInfo.st_mode & 0777, 0700u);
}

TEST(CompressedTtyrec, RecognisedByContentOnly)
{
    const QByteArray raw = TtyrecBytes({{1700000000, 0, "hello"}});
    for (const QString& tool : kTools) {
        EXPECT_TRUE(io::LooksCompressed(Compress(tool, raw))) << tool.toStdString();
    }
    EXPECT_FALSE(io::LooksCompressed(raw));
    EXPECT_FALSE(io::LooksCompressed(QByteArray("{\"version\": 2}")));
    // The gzip magic with a reserved flag set: a ttyrec stamped in the 1980s or later.
    EXPECT_FALSE(io::LooksCompressed(QByteArray("\x1f\x8b\x08\x60rest", 8)));
    EXPECT_FALSE(io::LooksCompressed(QByteArray("\x1f\x8b", 2)));

    // Damaged from its first block on: it opens, and its first read tells of the damage.
    QTemporaryDir damaged;
    const QString cut = damaged.filePath(QStringLiteral("cut.bz2"));
    ASSERT_TRUE(WriteFile(cut, Compress(QStringLiteral("bzip2"), LargeRecording()).first(5000)));
    EXPECT_EQ(PlayDamaged(cut).size(), 0u);

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("plain.ttyrec.gz"));
    ASSERT_TRUE(WriteFile(path, raw));
    EXPECT_EQ(io::OpenCompressedTtyrecSource(OpenForReading(path)), nullptr);
}

}  // namespace
