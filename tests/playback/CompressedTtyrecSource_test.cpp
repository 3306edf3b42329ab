// Compressed ttyrec recordings, made with the real compression tools: the frames of the
// raw file, catch-ups that see the same from the spool, the spool's bounds, and damaged
// data.
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "playback/CompressedInput.h"
#include "playback/CompressedTtyrecSource.h"
#include "playback/SpoolFile.h"
#include "support/FrameReading.h"
#include "support/ProcessProbe.h"
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

// What the tool writes for the bytes on standard input, and its exit code.
QByteArray RunTool(const QString& tool, QStringList arguments, const QByteArray& bytes,
                   int* exitCode)
{
    QProcess process;
    arguments.append(QStringLiteral("-c"));
    if (tool == QLatin1String("zstd") || tool == QLatin1String("lz4")) {
        arguments.prepend(QStringLiteral("-q"));
    }
    process.start(tool, arguments);
    process.write(bytes);
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(60000)) << tool.toStdString();
    *exitCode = process.exitCode();
    return process.readAllStandardOutput();
}

// The tool's output for the bytes (gzip, bzip2, xz, zstd, lz4).
QByteArray Compress(const QString& tool, const QByteArray& bytes, QStringList arguments = {})
{
    int exitCode = -1;
    const QByteArray compressed = RunTool(tool, arguments, bytes, &exitCode);
    EXPECT_EQ(exitCode, 0) << tool.toStdString();
    return compressed;
}

// How many of the recording's frames the tool itself recovers from a damaged file: those
// it wrote in full before it gave up.
size_t FramesTheToolRecovers(const QString& tool, const QByteArray& damaged, const Reading& all)
{
    int exitCode = 0;
    const Reading decoded = ReadRaw(RunTool(tool, {QStringLiteral("-d")}, damaged, &exitCode));
    EXPECT_NE(exitCode, 0) << tool.toStdString() << " took the damaged file for a whole one";
    size_t whole = 0;
    while (whole < decoded.frames.size() && decoded.frames[whole] == all.frames[whole]) {
        ++whole;
    }
    return whole;
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

// Small frames that compress well: the brief blocks a decoder works in hold many of them.
QByteArray SmallFrames(int count)
{
    std::vector<TestFrame> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back(
            {1000 + i / 100, (i % 100) * 10000, QByteArray::number(i).rightJustified(30, '.')});
    }
    return TtyrecBytes(frames);
}

// Frames of bytes no compressor can shrink: they are stored as they are, so a byte flipped
// in the compressed file flips one decoded byte, which only the format's check can find.
QByteArray IncompressibleFrames()
{
    QByteArray bytes(200 * 1012, Qt::Uninitialized);
    uint32_t seed = 99;
    for (char& byte : bytes) {
        byte = static_cast<char>((seed = seed * 1664525u + 1013904223u) >> 24);
    }
    for (int i = 0; i < 200; ++i) {
        bytes.replace(i * 1012, 12, TtyrecHeader(i, 0, 1000));
    }
    return bytes;
}

const QStringList kTools = {QStringLiteral("gzip"), QStringLiteral("bzip2"), QStringLiteral("xz"),
                            QStringLiteral("zstd")};
const QStringList kAllTools = kTools + QStringList{QStringLiteral("lz4")};

TEST(CompressedTtyrec, EveryCompressionPlaysTheRawFramesAndCatchUpsSeeTheSameAfterTheSourceIsGone)
{
    QTemporaryDir folder;
    // 0xFF bytes, an empty frame, and a last body cut short: the raw rules hold inside a
    // stream that decompresses cleanly.
    QByteArray raw = TtyrecBytes({{5, 0, "one\xff"}, {5, 250000, "\xff\xfftwo"}, {6, 0, "three"}});
    raw += TtyrecHeader(7, 0, 10) + "cut";
    const Reading expected = ReadRaw(raw);
    ASSERT_EQ(expected.frames.size(), 4u);
    for (const QString& tool : kAllTools) {
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

TEST(CompressedTtyrec, CutFilePlaysEveryWholeFrameDecodedBeforeTheCutThenDecompressFailed)
{
    QTemporaryDir folder;
    const QByteArray raw = SmallFrames(2000);
    const Reading all = ReadRaw(raw);
    for (const QString& tool : kAllTools) {
        const QByteArray compressed = Compress(tool, raw);
        // Half, nine tenths, and all but the last byte (a download one byte short).
        for (const qsizetype kept :
             {compressed.size() / 2, compressed.size() * 9 / 10, compressed.size() - 1}) {
            SCOPED_TRACE(tool.toStdString() + " cut after " + std::to_string(kept));
            const QString path = folder.filePath(QStringLiteral("cut.") + tool);
            ASSERT_TRUE(WriteFile(path, compressed.first(kept)));
            const std::vector<Frame> played = PlayDamaged(path);
            // At least what the format's own tool gets out of it (a block that bzip2 or
            // zstd has not seen whole decodes to nothing), each frame whole and in order.
            EXPECT_GE(played.size(), FramesTheToolRecovers(tool, compressed.first(kept), all));
            ASSERT_LE(played.size(), all.frames.size());
            for (size_t i = 0; i < played.size(); ++i) {
                ASSERT_EQ(played[i], all.frames[i]) << "frame " << i;
            }
        }
    }
}

TEST(CompressedTtyrec, DamageTheFormatsCheckFindsEndsWithDecompressFailed)
{
    QTemporaryDir folder;
    // A stored byte flipped, for every format; and a deflate stream that decodes on into
    // garbage, which first reads as an impossible frame length.
    std::vector<std::pair<QString, QByteArray>> cases;
    for (const QString& tool : kAllTools) {
        cases.emplace_back(tool, IncompressibleFrames());
    }
    cases.emplace_back(QStringLiteral("gzip"), SmallFrames(2000));
    for (const auto& [tool, raw] : cases) {
        SCOPED_TRACE(tool.toStdString() + " of " + std::to_string(raw.size()));
        QByteArray compressed = Compress(tool, raw);
        compressed[compressed.size() / 2] =
            static_cast<char>(compressed[compressed.size() / 2] ^ 0x55);
        const QString path = folder.filePath(QStringLiteral("flipped.") + tool);
        ASSERT_TRUE(WriteFile(path, compressed));
        const std::vector<Frame> played = PlayDamaged(path);
        // The frames well before the damage are the recorded ones.
        const Reading all = ReadRaw(raw);
        ASSERT_LE(played.size(), all.frames.size());
        EXPECT_TRUE(
            std::equal(played.begin(), played.begin() + played.size() / 4, all.frames.begin()));
    }
}

TEST(CompressedTtyrec, ConcatenatedStreamsPlayOnAndOnlyZeroPaddingMayFollow)
{
    QTemporaryDir folder;
    const QByteArray first = TtyrecBytes({{1, 0, "one"}, {2, 0, "two"}});
    const QByteArray second = TtyrecBytes({{3, 0, "three"}});
    const Reading both = ReadRaw(first + second);
    for (const QString& tool : kAllTools) {
        SCOPED_TRACE(tool.toStdString());
        const QByteArray streams = Compress(tool, first) + Compress(tool, second);
        const struct
        {
            QByteArray tail;
            io::FrameReadStatus end;
        } tails[] = {
            {QByteArray(), io::FrameReadStatus::EndOfFile},
            {QByteArray(512, '\0'), io::FrameReadStatus::EndOfFile},
            {QByteArray("garbage"), io::FrameReadStatus::DecompressFailed},
        };
        for (const auto& [tail, end] : tails) {
            const QString path = folder.filePath(QStringLiteral("streams.") + tool);
            ASSERT_TRUE(WriteFile(path, streams + tail));
            std::unique_ptr<FrameSource> source =
                io::OpenCompressedTtyrecSource(OpenForReading(path));
            ASSERT_NE(source, nullptr);
            const Reading played = ReadAll(*source);
            EXPECT_EQ(played.frames, both.frames) << tail.size() << " bytes after the streams";
            EXPECT_EQ(played.end, end) << tail.size() << " bytes after the streams";
        }
    }
}

// An xz stream whose block header asks for a 1.5 GiB dictionary: the decoder refuses it
// instead of reserving it.
TEST(CompressedTtyrec, XzDictionaryOverTheMemoryLimitIsRefused)
{
    QByteArray xz = Compress(QStringLiteral("xz"), TtyrecBytes({{1, 0, "x"}}));
    // Stream header (12 bytes), then the block header: size, flags, the LZMA2 filter's id
    // and property size, its dictionary byte, padding, CRC-32. The tool writes no sizes.
    ASSERT_EQ(xz.mid(12, 4), QByteArray("\x02\x00\x21\x01", 4));
    xz[16] = 37;  // (2 | 1) << (37 / 2 + 11) bytes: 1.5 GiB
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(xz.constData() + 12), 8);
    for (int i = 0; i < 4; ++i) {
        xz[20 + i] = static_cast<char>((crc >> (8 * i)) & 0xff);
    }
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("huge-dictionary.xz"));
    ASSERT_TRUE(WriteFile(path, xz));
    EXPECT_TRUE(PlayDamaged(path).empty());
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

// Sets environment variables for the life of the object.
class EnvironmentOverride
{
public:
    explicit EnvironmentOverride(const std::vector<std::pair<const char*, QString>>& values)
    {
        for (const auto& [name, value] : values) {
            saved_.emplace_back(name, qgetenv(name));
            qputenv(name, QFile::encodeName(value));
        }
    }
    ~EnvironmentOverride()
    {
        for (const auto& [name, value] : saved_) {
            value.isNull() ? qunsetenv(name) : qputenv(name, value);
        }
    }

private:
    std::vector<std::pair<const char*, QByteArray>> saved_;
};

// Points the cache, runtime and temporary folders below a plain file, where no folder can
// be made.
EnvironmentOverride NoSpoolFolders(const QString& file)
{
    const QString below = file + QStringLiteral("/below");
    return EnvironmentOverride(
        {{"XDG_CACHE_HOME", below}, {"XDG_RUNTIME_DIR", below}, {"TMPDIR", below}});
}

// How many descriptors this process holds on files in the folder; an unlinked spool still
// shows there, as "FOLDER/#123 (deleted)".
qsizetype DescriptorsInto(const QString& folder)
{
    const QByteArray prefix = QFile::encodeName(folder) + '/';
    const QByteArrayList targets = OpenDescriptors(::getpid());
    return std::count_if(targets.begin(), targets.end(),
                         [&](const QByteArray& target) { return target.startsWith(prefix); });
}

// Files this process writes may grow no larger than the limit while the object lives; a
// write past it fails (EFBIG), as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        savedSignal_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, savedSignal_);
    }

private:
    rlimit saved_{};
    sighandler_t savedSignal_;
};

TEST(CompressedTtyrec, GivenUpSpoolIsEmptiedAndClosedAtOnceWhileCatchUpsDecompressInstead)
{
    QTemporaryDir cache;
    const EnvironmentOverride environment({{"XDG_CACHE_HOME", cache.path()}});
    const QString spoolFolder = cache.path() + QStringLiteral("/ombrix");
    const QByteArray raw = SmallFrames(2000);  // 84,000 bytes
    const Reading all = ReadRaw(raw);
    const QString path = cache.filePath(QStringLiteral("r.gz"));
    ASSERT_TRUE(WriteFile(path, Compress(QStringLiteral("gzip"), raw)));
    const struct
    {
        const char* way;
        int64_t spoolLimit;
        rlim_t fileSizeLimit;
    } ways[] = {
        {"past its limit", 20000, RLIM_INFINITY},
        {"on a failed write", SourceOptions::kDefaultSpoolLimit, 20000},
        {"no spool at all", 0, RLIM_INFINITY},
    };
    for (const auto& [way, spoolLimit, fileSizeLimit] : ways) {
        SCOPED_TRACE(way);
        std::unique_ptr<FrameSource> source =
            io::OpenCompressedTtyrecSource(OpenForReading(path), spoolLimit);
        ASSERT_NE(source, nullptr);
        std::unique_ptr<FrameCursor> early = source->NewCatchUpCursor();
        ASSERT_NE(early, nullptr);
        EXPECT_EQ(DescriptorsInto(spoolFolder), spoolLimit > 0 ? 1 : 0);
        // The early viewer catches up on the first frames while the spool still holds
        // them, then the player reads on past where the spool is given up.
        io::FrameHeader header;
        QByteArray body;
        std::vector<Frame> caughtUp;
        {
            const FileSizeLimit limit(fileSizeLimit);
            for (int i = 0; i < 200; ++i) {
                ASSERT_EQ(source->Next(header, body), io::FrameReadStatus::Frame);
                if (i % 2 == 0) {
                    ASSERT_EQ(early->Next(header, body), io::FrameReadStatus::Frame);
                    caughtUp.push_back({header.time, body});
                }
            }
            EXPECT_EQ(ReadAll(*source).frames.size() + 200, all.frames.size());
        }
        EXPECT_EQ(DescriptorsInto(spoolFolder), 0) << "the disk space is given back at once";
        const Reading rest = ReadAll(*early);
        caughtUp.insert(caughtUp.end(), rest.frames.begin(), rest.frames.end());
        EXPECT_EQ(caughtUp, all.frames);
        EXPECT_EQ(ReadAll(*source->NewCatchUpCursor()).frames, all.frames);
    }
}

TEST(CompressedTtyrec, WithoutASpoolCatchUpsDecompressTheFileAgain)
{
    QTemporaryDir folder;
    const QString plainFile = folder.filePath(QStringLiteral("plain"));
    ASSERT_TRUE(WriteFile(plainFile, "x"));
    const QByteArray raw = TtyrecBytes({{1, 0, "a\xff"}, {2, 0, "b"}});
    const QString path = folder.filePath(QStringLiteral("r.xz"));
    ASSERT_TRUE(WriteFile(path, Compress(QStringLiteral("xz"), raw)));

    const EnvironmentOverride noSpool = NoSpoolFolders(plainFile);
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

TEST(SpoolFile, NeverInTheRuntimeFolderNorOnAFileSystemInMemory)
{
    QTemporaryDir runtime;
    const EnvironmentOverride environment({{"XDG_RUNTIME_DIR", runtime.path()}});
    EXPECT_TRUE(SpoolFolders().filter(runtime.path()).isEmpty()) << "the runtime folder";
    struct statfs shm
    {
    };
    if (::statfs("/dev/shm", &shm) != 0 || shm.f_type != TMPFS_MAGIC) {
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    }
    QTemporaryDir folder;
    const QString inMemory = QStringLiteral("/dev/shm/ombrix-spool-%1").arg(::getpid());
    const UniqueFd spool = CreateSpoolFile({inMemory, folder.path() + QStringLiteral("/ombrix")});
    ASSERT_TRUE(spool.Valid());
    EXPECT_EQ(DescriptorsInto(folder.path() + QStringLiteral("/ombrix")), 1) << "the next one";
    EXPECT_FALSE(QFileInfo::exists(inMemory)) << "nothing is made there";
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
