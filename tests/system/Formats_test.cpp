// Every recording format through the real program, headless, to loopback viewers: the
// recordings made by the real recorders play byte-exact, a late joiner's catch-up is the
// same as with the raw file, and damaged files give their texts while the program goes
// on serving.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTemporaryDir>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/ProcessProbe.h"
#include "support/SessionOutput.h"
#include "support/Ttyrec.h"

namespace {

const QString kRecordings = QStringLiteral(OMBRIX_SOURCE_DIR "/tests/recordings/");

struct Program
{
    explicit Program(const QStringList& arguments)
        : port(FreePort()),
          process(runtime.path(),
                  QStringList{QStringLiteral("--port"), QString::number(port)} + arguments)
    {
    }
    QTemporaryDir runtime;
    int port;
    OmbrixProcess process;
};

TEST(Formats, EveryFormatPlaysByteExactAndALateJoinerCatchesUpAsWithTheRawFile)
{
    const QByteArray ttyrecStream = TelnetGreeting + SessionOutput("\xff\xff");
    const QByteArray castStream = TelnetGreeting + SessionOutput("\\377");
    const std::vector<std::pair<QString, QByteArray>> cases = {
        {QStringLiteral("session.ttyrec"), ttyrecStream},
        {QStringLiteral("session.ttyrec.gz"), ttyrecStream},
        {QStringLiteral("session.ttyrec.bz2"), ttyrecStream},
        {QStringLiteral("session.ttyrec.xz"), ttyrecStream},
        {QStringLiteral("session.ttyrec.zst"), ttyrecStream},
        {QStringLiteral("session.cast"), castStream},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name.toStdString());
        Program program({kRecordings + name});
        ASSERT_TRUE(program.process.WaitForLine(QStringLiteral("file: ") + name, 5000))
            << program.process.Output().toStdString();
        LoopbackClient first;
        ASSERT_TRUE(first.Connect(program.port));
        // The second viewer joins once the first has seen two lines of the session.
        ASSERT_TRUE(LoopbackClient::PumpUntil(
            [&] {
                first.ReadFor(1);
                return first.Received().count("\r\r\n") >= 2;
            },
            5000));
        LoopbackClient late;
        ASSERT_TRUE(late.Connect(program.port));
        EXPECT_TRUE(program.process.WaitForLine(QStringLiteral("file: ファイル終端"), 5000));
        first.ReadFor(300);
        late.ReadFor(300);
        EXPECT_EQ(first.Received(), expected);
        EXPECT_EQ(late.Received(), expected);
        EXPECT_EQ(program.process.Stop(), 0);
    }
}

// The tool's output for the bytes.
QByteArray Compress(const QString& tool, const QByteArray& bytes)
{
    QProcess process;
    process.start(tool, {QStringLiteral("-c")});
    process.write(bytes);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return process.readAllStandardOutput();
}

TEST(Formats, DamagedFilesGiveTheirTextsAndTheProgramGoesOnServing)
{
    QTemporaryDir folder;
    // Frames of text that compresses only moderately, all stamped alike: they play 1 ms
    // apart, so the whole file takes a moment.
    std::vector<TestFrame> frames;
    uint32_t seed = 7;
    for (int i = 0; i < 400; ++i) {
        QByteArray body;
        for (int j = 0; j < 3000; ++j) {
            seed = seed * 1103515245u + 12345u;
            body.append(static_cast<char>(' ' + (seed >> 16) % 95));
        }
        frames.push_back({100, 0, body});
    }
    QByteArray played;
    for (const TestFrame& frame : frames) {
        played += frame.body;
    }
    const QByteArray gzip = Compress(QStringLiteral("gzip"), TtyrecBytes(frames));
    const QString truncated = folder.filePath(QStringLiteral("truncated.ttyrec.gz"));
    ASSERT_TRUE(WriteFile(truncated, gzip.first(gzip.size() / 2)));
    const QString badLine = folder.filePath(QStringLiteral("bad.cast"));
    ASSERT_TRUE(WriteFile(badLine,
                          "{\"version\": 2, \"width\": 80, \"height\": 24}\n"
                          "[0.1, \"o\", \"before\"]\n[0.2, \"o\", \"cut\n"
                          "[0.3, \"o\", \"after\"]\n"));

    Program program({truncated});
    ASSERT_TRUE(program.process.WaitForLine(QStringLiteral("file: truncated.ttyrec.gz"), 5000))
        << program.process.Output().toStdString();
    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(program.port));
    ASSERT_TRUE(program.process.WaitForLine(QStringLiteral("file: 展開失敗"), 10000))
        << program.process.Output().toStdString();
    viewer.ReadFor(300);
    // Whole frames from before the cut, and nothing made up after it.
    const QByteArray got = viewer.Received().mid(TelnetGreeting.size());
    EXPECT_GE(got.size(), played.size() / 4);
    EXPECT_LT(got.size(), played.size());
    EXPECT_EQ(got.size() % 3000, 0);
    EXPECT_TRUE(played.startsWith(got));

    // Handed over by a second start, like any recording; the same viewer watches on.
    const auto handOver = [&](const QString& path) {
        OmbrixProcess second(program.runtime.path(),
                             {QStringLiteral("--port"), QString::number(program.port), path});
        EXPECT_EQ(second.WaitForExit(5000), 0);
    };
    handOver(badLine);
    ASSERT_TRUE(program.process.WaitForLine(QStringLiteral("file: 形式エラー"), 5000))
        << program.process.Output().toStdString();
    EXPECT_EQ(viewer.ReadFor(300), QByteArray("before"));

    handOver(kRecordings + QStringLiteral("session.ttyrec.bz2"));
    ASSERT_TRUE(program.process.WaitForLine(QStringLiteral("file: session.ttyrec.bz2"), 5000));
    const qsizetype before = viewer.Received().size();
    const QByteArray session = SessionOutput("\xff\xff");
    EXPECT_TRUE(viewer.WaitForBytes(before + session.size(), 5000));
    EXPECT_EQ(viewer.Received().mid(before), session);
    EXPECT_EQ(program.process.Stop(), 0);
}

// How many descriptors the process holds on files in the folder; an unlinked spool still
// shows there, as "FOLDER/#123 (deleted)".
qsizetype DescriptorsInto(pid_t pid, const QString& folder)
{
    const QByteArray prefix = QFile::encodeName(folder) + '/';
    const QByteArrayList targets = OpenDescriptors(pid);
    return std::count_if(targets.begin(), targets.end(),
                         [&](const QByteArray& target) { return target.startsWith(prefix); });
}

TEST(Formats, SpoolLimitBoundsWhatIsKeptOnDiskAndCatchUpsLoseNothing)
{
    QTemporaryDir folder;
    const QByteArray savedCache = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(folder.path()));
    const QString spoolFolder = folder.filePath(QStringLiteral("ombrix"));
    // 100 frames that play 1 ms apart (300 kB decoded), then one due hours later, so the
    // recording stays open with all of them played.
    std::vector<TestFrame> frames;
    QByteArray played;
    for (int i = 0; i < 100; ++i) {
        frames.push_back({100, 0, QByteArray(3000, static_cast<char>('a' + i % 26))});
        played += frames.back().body;
    }
    frames.push_back({100000, 0, "later"});
    const QString path = folder.filePath(QStringLiteral("fast.ttyrec.gz"));
    ASSERT_TRUE(WriteFile(path, Compress(QStringLiteral("gzip"), TtyrecBytes(frames))));

    const std::pair<QStringList, int> cases[] = {
        {{}, 1},  // the default limit keeps them all
        {{QStringLiteral("--spool-limit"), QStringLiteral("64K")}, 0},
    };
    for (const auto& [options, spools] : cases) {
        SCOPED_TRACE(options.join(u' ').toStdString());
        Program program(options + QStringList{path});
        ASSERT_TRUE(program.process.WaitForLine(QStringLiteral("file: fast.ttyrec.gz"), 5000))
            << program.process.Output().toStdString();
        LoopbackClient first;
        ASSERT_TRUE(first.Connect(program.port));
        ASSERT_TRUE(first.WaitForBytes(TelnetGreeting.size() + played.size(), 10000));
        EXPECT_EQ(DescriptorsInto(program.process.Pid(), spoolFolder), spools);
        LoopbackClient late;
        ASSERT_TRUE(late.Connect(program.port));
        EXPECT_TRUE(late.WaitForBytes(TelnetGreeting.size() + played.size(), 10000));
        EXPECT_EQ(late.Received(), TelnetGreeting + played);
        EXPECT_EQ(program.process.Stop(), 0);
    }
    qputenv("XDG_CACHE_HOME", savedCache);
}

TEST(Formats, ABigVersion1FileHandedOverIsTakenAndTheSecondStartSaysSo)
{
    QTemporaryDir folder;
    // 60 MB of short entries, the header's keys after them: the running copy must neither
    // read it whole nor keep the second start waiting past its bound.
    QByteArray v1 = "{\"stdout\": [[0.5, \"first\"]";
    v1.reserve(61 << 20);
    while (v1.size() < 60 << 20) {
        v1 += ", [0.001, \"ab\"]";
    }
    v1 += "], \"version\": 1, \"width\": 90, \"height\": 30}";
    const QString big = folder.filePath(QStringLiteral("big.cast"));
    ASSERT_TRUE(WriteFile(big, v1));

    Program program({});
    ASSERT_TRUE(program.process.WaitForLinePrefix("connection: ", 5000));
    LoopbackClient viewer;
    ASSERT_TRUE(viewer.Connect(program.port));
    OmbrixProcess second(program.runtime.path(),
                         {QStringLiteral("--port"), QString::number(program.port), big});
    EXPECT_EQ(second.WaitForExit(10000), 0) << second.Errors().toStdString();
    EXPECT_TRUE(program.process.WaitForLine(QStringLiteral("file: big.cast"), 5000));
    EXPECT_TRUE(viewer.WaitForBytes(TelnetGreeting.size() + 5, 5000));
    EXPECT_EQ(viewer.Received().mid(TelnetGreeting.size(), 5), QByteArray("first"));
    EXPECT_EQ(program.process.Stop(), 0);
}

}  // namespace
