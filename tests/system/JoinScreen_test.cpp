// Late viewers on the current screen (--join screen) with the real telnet client in tmux:
// at ten points of each real recording a newcomer's pane must show, cell by cell with its
// attributes, what the pane of a viewer who has watched from the start shows. And where
// the screen cannot be exact, the newcomer gets the replay and standard error says why.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSize>
#include <QTemporaryDir>
#include <QtEndian>

#include "server/TelnetOutput.h"
#include "support/LoopbackClient.h"
#include "support/OmbrixProcess.h"
#include "support/TmuxTerminals.h"
#include "support/Ttyrec.h"

namespace {

// Frames a second apart would play on their own; a thousand seconds apart, only the
// next-frame key moves them on, so the test decides where each newcomer joins.
constexpr int kStepSeconds = 1000;
// A frame first that resets the terminal: the telnet client writes its own lines ("Trying
// 127.0.0.1...") before the stream, which no newcomer's repaint can know of.
const QByteArray kFirstFrame = QByteArrayLiteral(
    "\x1b"
    "c");

struct Stepped
{
    QString path;
    QSize size{80, 24};
    int frames = 0;
};

// A ttyrec recording's frames, the reset first, a step apart.
bool StepTtyrec(const QByteArray& bytes, const QString& into, Stepped& stepped)
{
    std::vector<TestFrame> frames{{0, 0, kFirstFrame}};
    for (qsizetype at = 0; at + 12 <= bytes.size();) {
        const auto length = qFromLittleEndian<quint32>(bytes.constData() + at + 8);
        const int index = static_cast<int>(frames.size());
        frames.push_back({index * kStepSeconds, 0, bytes.mid(at + 12, length)});
        at += 12 + length;
    }
    stepped.frames = static_cast<int>(frames.size());
    return WriteFile(into, TtyrecBytes(frames));
}

// An asciicast v2 recording's output events, the reset first, a step apart.
bool StepAsciicast(const QByteArray& bytes, const QString& into, Stepped& stepped)
{
    const QList<QByteArray> lines = bytes.split('\n');
    const QJsonObject header = QJsonDocument::fromJson(lines.value(0)).object();
    stepped.size = QSize(header.value(QStringLiteral("width")).toInt(80),
                         header.value(QStringLiteral("height")).toInt(24));
    QByteArray out = lines.value(0) + '\n';
    out += QJsonDocument(QJsonArray{0, QStringLiteral("o"), QString::fromLatin1(kFirstFrame)})
               .toJson(QJsonDocument::Compact) +
           '\n';
    int index = 1;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QJsonArray event = QJsonDocument::fromJson(lines[i]).array();
        if (event.size() == 3 && event[1].toString() == QStringLiteral("o")) {
            out += QJsonDocument(QJsonArray{index++ * kStepSeconds, event[1], event[2]})
                       .toJson(QJsonDocument::Compact) +
                   '\n';
        }
    }
    stepped.frames = index;
    return WriteFile(into, out);
}

Stepped StepRecording(const QString& name, const QTemporaryDir& dir)
{
    Stepped stepped;
    QFile file(QStringLiteral(OMBRIX_SOURCE_DIR "/tests/recordings/") + name);
    if (!file.open(QIODevice::ReadOnly)) {
        return stepped;
    }
    const QByteArray bytes = file.readAll();
    const QString path = dir.filePath(name);
    const bool written = name.endsWith(QLatin1String(".cast")) ? StepAsciicast(bytes, path, stepped)
                                                               : StepTtyrec(bytes, path, stepped);
    stepped.path = written ? path : QString();
    return stepped;
}

bool Installed(const char* program)
{
    return QFileInfo::exists(QStringLiteral("/usr/bin/") + QLatin1String(program));
}

std::string Describe(const TmuxTerminals::State& state)
{
    return "modes: " + state.modes.toStdString() + "\nscreen:\n" + state.screen.toStdString() +
           "primary behind:\n" + state.primary.toStdString();
}

// The program on a stepped recording with newcomers joining on the screen; a driver of
// our own steps it with the next-frame key.
class SteppedProgram
{
public:
    SteppedProgram(const Stepped& recording, const QStringList& options)
        : port_(FreePort()),
          program_(runtime_.path(), QStringList{QStringLiteral("--port"), QString::number(port_)} +
                                        options + QStringList{recording.path})
    {
    }
    int Port() const { return port_; }
    OmbrixProcess& Program() { return program_; }
    // Waits until `played` frames have gone to the viewers, pressing the key for each
    // one after the first (which goes by itself).
    bool PlayUntil(int played)
    {
        while (played_ < played) {
            if (played_ > 0) {
                // Slower than a viewer's key rate allows, so that no key is dropped.
                LoopbackClient::Pump(25);
                driver_.Send(" ");
            }
            const QString pending =
                QStringLiteral("time: %1秒").arg(static_cast<qint64>(played_ + 1) * kStepSeconds);
            if (!program_.WaitForLine(pending, 10000)) {
                return false;
            }
            ++played_;
        }
        return true;
    }
    bool ConnectDriver() { return driver_.Connect(port_); }

private:
    QTemporaryDir runtime_;
    int port_;
    OmbrixProcess program_;
    LoopbackClient driver_;
    int played_ = 0;
};

QString TelnetCommand(int port)
{
    return QStringLiteral("exec telnet 127.0.0.1 %1").arg(port);
}

// Both panes showing the same, which the telnet clients reach in their own time.
bool WaitForSameState(TmuxTerminals& tmux, int early, int late, TmuxTerminals::State& earlyState,
                      TmuxTerminals::State& lateState)
{
    QElapsedTimer clock;
    clock.start();
    do {
        LoopbackClient::Pump(100);
        earlyState = tmux.Read(early);
        lateState = tmux.Read(late);
    } while (!(earlyState == lateState) && clock.elapsed() < 10000);
    return earlyState == lateState;
}

class JoinOnScreen : public testing::TestWithParam<const char*>
{
};

TEST_P(JoinOnScreen, ANewcomerInTelnetSeesWhatAViewerFromTheStartSees)
{
    if (!TmuxTerminals::Installed() || !Installed("telnet")) {
        GTEST_SKIP() << "tmux and telnet are installed by scripts/test";
    }
    QTemporaryDir dir;
    const Stepped recording = StepRecording(QString::fromLatin1(GetParam()), dir);
    ASSERT_FALSE(recording.path.isEmpty()) << "tests/recordings/make makes it";
    ASSERT_GT(recording.frames, 10);
    SteppedProgram stepped(recording, {QStringLiteral("--join"), QStringLiteral("screen")});
    OmbrixProcess& program = stepped.Program();
    ASSERT_TRUE(program.WaitForLinePrefix("file: ", 5000)) << program.Errors().toStdString();

    TmuxTerminals tmux;
    const int cols = recording.size.width();
    const int rows = recording.size.height();
    const int early = tmux.OpenRunning(cols, rows, TelnetCommand(stepped.Port()));
    ASSERT_GE(early, 0);
    // The early viewer is counted before the first frame, which waits for a viewer.
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("connection: 127.0.0.1,1"), 10000));
    ASSERT_TRUE(stepped.ConnectDriver());

    const int last = recording.frames - 1;
    for (int i = 0; i < 10; ++i) {
        const int played = 1 + i * last / 10;
        ASSERT_TRUE(stepped.PlayUntil(played)) << program.Output().toStdString();
        SCOPED_TRACE("joined after frame " + std::to_string(played) + " of " +
                     std::to_string(recording.frames));
        const int late = tmux.OpenRunning(cols, rows, TelnetCommand(stepped.Port()));
        ASSERT_GE(late, 0);
        TmuxTerminals::State earlyState;
        TmuxTerminals::State lateState;
        EXPECT_TRUE(WaitForSameState(tmux, early, late, earlyState, lateState))
            << "early viewer\n"
            << Describe(earlyState) << "late viewer\n"
            << Describe(lateState);
        tmux.Close(late);
    }
    // Every newcomer was painted: none fell back to the replay.
    EXPECT_FALSE(program.Errors().contains(QStringLiteral("newcomers get the replay")))
        << program.Errors().toStdString();
    EXPECT_EQ(program.Stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Recordings, JoinOnScreen,
                         testing::Values("vim.ttyrec", "colours.ttyrec", "dialog.ttyrec",
                                         "japanese.cast"),
                         [](const testing::TestParamInfo<const char*>& param) {
                             return QByteArray(param.param).split('.').front().toStdString();
                         });

TEST(JoinOnScreen, BytesThatAreNotUtf8GiveTheReplayAndOneLineSaysWhy)
{
    QTemporaryDir dir;
    const std::vector<TestFrame> frames = {
        {0, 0, "\x1b[2J\x1b[H\xc9\xcd\xcd\xbb box\r\n"}, {1000, 0, "next\r\n"}, {2000, 0, "end"}};
    Stepped recording{dir.filePath(QStringLiteral("cp437.ttyrec")), QSize(80, 24), 3};
    ASSERT_TRUE(WriteFile(recording.path, TtyrecBytes(frames)));
    SteppedProgram stepped(recording, {QStringLiteral("--join=screen")});
    OmbrixProcess& program = stepped.Program();
    ASSERT_TRUE(program.WaitForLine(QStringLiteral("file: cp437.ttyrec"), 5000));
    ASSERT_TRUE(stepped.ConnectDriver());
    ASSERT_TRUE(stepped.PlayUntil(2));

    const QByteArray replay = TelnetGreeting + NaiveEscape(frames[0].body + frames[1].body);
    for (int newcomer = 0; newcomer < 2; ++newcomer) {
        LoopbackClient late;
        ASSERT_TRUE(late.Connect(stepped.Port()));
        ASSERT_TRUE(late.WaitForBytes(replay.size(), 5000));
        EXPECT_EQ(late.ReadFor(200), QByteArray());
        EXPECT_EQ(late.Received(), replay);
    }
    // One line for the recording and its reason, however many newcomers it concerned.
    const QString line = QStringLiteral(
        "ombrix: newcomers get the replay: cannot repaint exactly, because the recording has "
        "bytes that are not UTF-8\n");
    EXPECT_EQ(program.Errors().count(line), 1) << program.Errors().toStdString();
    EXPECT_EQ(program.Stop(), 0);
}

}  // namespace
