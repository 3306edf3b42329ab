#include "JoinBench.h"

#include <poll.h>
#include <sys/socket.h>

#include <QFile>
#include <QtEndian>
#include <cstdio>

#include "Harness.h"

namespace bench {
namespace {

constexpr size_t kMB = 1024 * 1024;

// The frames of a ttyrec file with the gaps before them in microseconds.
struct Session
{
    std::vector<int64_t> gaps;
    std::vector<std::string> bodies;
};

Session ReadTtyrec(const std::string& path)
{
    Session session;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return session;
    }
    const QByteArray bytes = file.readAll();
    int64_t previous = -1;
    for (qsizetype at = 0; at + 12 <= bytes.size();) {
        const auto word = [&](qsizetype offset) {
            return static_cast<int64_t>(
                qFromLittleEndian<quint32>(bytes.constData() + at + offset));
        };
        const int64_t micros = word(0) * 1000000 + word(4);
        const qsizetype length = word(8);
        session.gaps.push_back(previous < 0 ? 0 : std::max<int64_t>(micros - previous, 0));
        session.bodies.push_back(bytes.mid(at + 12, length).toStdString());
        previous = micros;
        at += 12 + length;
    }
    return session;
}

// A realistic session as long as asked: the editor on the alternate screen and the colour
// test, in turn, each after a reset. Gaps as recorded, or all `gapMicros` long; the last
// frame waits a thousand seconds, so the playback stands still on a known screen.
Recording History(const std::vector<Session>& sessions, size_t bytes, int64_t gapMicros)
{
    Recording recording;
    for (size_t round = 0; recording.BodyBytes() < bytes; ++round) {
        const Session& session = sessions[round % sessions.size()];
        recording.AddAfter(gapMicros > 0 ? gapMicros : 100000,
                           "\x1b"
                           "c");
        for (size_t i = 0; i < session.bodies.size(); ++i) {
            recording.AddAfter(gapMicros > 0 ? gapMicros : session.gaps[i], session.bodies[i]);
        }
    }
    recording.AddAfter(1000 * 1000000LL, "\r\n");
    return recording;
}

// Reads everything that arrives until nothing has for `quietMs`; returns the count and
// when the last byte came.
size_t ReadUntilQuiet(int fd, int quietMs, int64_t& lastNs)
{
    size_t total = 0;
    char buffer[65536];
    for (;;) {
        pollfd poll{fd, POLLIN, 0};
        if (::poll(&poll, 1, quietMs) <= 0) {
            return total;
        }
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return total;
        }
        total += static_cast<size_t>(got);
        lastNs = NowNs();
    }
}

struct JoinRun
{
    bool ok = false;
    double playbackCpu = 0;  // the program's CPU seconds while the history played
    double playSeconds = 0;
    double joinMs = 0;  // from connect to the newcomer's last byte
    size_t joinBytes = 0;
};

JoinRun RunJoin(const std::string& binary, const std::string& path, const Recording& recording,
                const char* mode)
{
    JoinRun run;
    Server server(binary, path, FreePort(), 0, {"--join", mode});
    if (!server.WaitForLinePrefix("connection: ", 10000)) {
        return run;
    }
    const Stream stream = ExpectedStream(recording);
    const size_t played = stream.frameEnds[recording.bodies.size() - 2];
    const UniqueFd watcher = ConnectLoopback(server.Port());
    const std::string keys = std::string(7, '+');
    const double cpuBefore = server.CpuSeconds();
    const int64_t start = NowNs();
    if (!watcher.Valid() || ::send(watcher.Get(), keys.data(), keys.size(), 0) < 0) {
        return run;
    }
    size_t received = 0;
    char buffer[65536];
    while (received < played && Seconds(NowNs() - start) < 900) {
        pollfd poll{watcher.Get(), POLLIN, 0};
        ::poll(&poll, 1, 100);
        server.Drain();
        const ssize_t got = ::recv(watcher.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0) {
            return run;
        }
        received += got > 0 ? static_cast<size_t>(got) : 0;
    }
    run.playSeconds = Seconds(NowNs() - start);
    run.playbackCpu = server.CpuSeconds() - cpuBefore;

    const int64_t connectNs = NowNs();
    const UniqueFd newcomer = ConnectLoopback(server.Port());
    int64_t lastNs = connectNs;
    run.joinBytes = newcomer.Valid() ? ReadUntilQuiet(newcomer.Get(), 500, lastNs) : 0;
    run.joinMs = static_cast<double>(lastNs - connectNs) / 1e6;
    run.ok = received == played && run.joinBytes > 0;
    server.Stop();
    return run;
}

// What web/test/join.mjs measures in Chromium: the milliseconds until a page opened after
// the history shows the present, on the replay and on the screen; empty when it cannot run.
std::string PageJoinLine(const std::string& binary, const std::string& sourceRoot,
                         const std::string& path)
{
    const std::string command = "node '" + sourceRoot + "/web/test/join.mjs' --bench --program '" +
                                binary + "' --recording '" + path + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {};
    }
    std::string line;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        if (std::string(buffer).rfind("page-join ", 0) == 0) {
            line = buffer;
        }
    }
    ::pclose(pipe);
    return line;
}

void AddPageFigures(const std::string& name, const std::string& line, std::vector<Figure>& figures)
{
    double replayMs = -1;
    double screenMs = -1;
    double replayAfterLoad = -1;
    double screenAfterLoad = -1;
    char same[8] = "";
    if (std::sscanf(line.c_str(),
                    "page-join replay-ms %lf screen-ms %lf same %7s after-load replay-ms %lf "
                    "screen-ms %lf",
                    &replayMs, &screenMs, same, &replayAfterLoad, &screenAfterLoad) != 5) {
        figures.push_back({name + ", page shows the present", "not measured (node, chromium)"});
        return;
    }
    const bool agree = std::string(same) == "yes";
    // From opening the page, and (in brackets) from the end of its own load.
    const auto both = [](double ms, double afterLoad) {
        return Format("%.0f ms", ms) + Format(" (%.0f ms)", afterLoad);
    };
    figures.push_back(
        {name + ", replay: page shows the present (after load)", both(replayMs, replayAfterLoad)});
    figures.push_back({name + ", screen: page shows the present (after load)",
                       both(screenMs, screenAfterLoad) + (agree ? "" : " NOT the replay's screen"),
                       "< 200 ms", agree && screenMs < 200});
}

}  // namespace

std::vector<Figure> MeasureJoins(const std::string& binary, const std::string& sourceRoot,
                                 bool quick)
{
    std::vector<Figure> figures;
    const std::vector<Session> sessions = {
        ReadTtyrec(sourceRoot + "/tests/recordings/vim.ttyrec"),
        ReadTtyrec(sourceRoot + "/tests/recordings/colours.ttyrec")};
    if (sessions[0].bodies.empty() || sessions[1].bodies.empty()) {
        figures.push_back({"join: recordings", "missing (tests/recordings/make)"});
        return figures;
    }
    RecordingFolder folder;

    // The model's cost: one viewer, speed 100, gaps as recorded, both modes on one recording.
    const Recording paced = History(sessions, quick ? kMB / 2 : 2 * kMB, 0);
    const std::string pacedPath = paced.WriteInto(folder, "paced.ttyrec");
    const JoinRun replayPaced = RunJoin(binary, pacedPath, paced, "replay");
    const JoinRun screenPaced = RunJoin(binary, pacedPath, paced, "screen");
    const double extra =
        replayPaced.playbackCpu > 0
            ? (screenPaced.playbackCpu - replayPaced.playbackCpu) / screenPaced.playbackCpu
            : 0;
    const std::string pacedName =
        "join: " + Format("%.0f", static_cast<double>(paced.BodyBytes()) / 1e6) +
        " MB at speed 100, as recorded";
    figures.push_back(
        {pacedName + ": program CPU s, replay", Format("%.3f", replayPaced.playbackCpu) + " in " +
                                                    Format("%.1f s", replayPaced.playSeconds)});
    figures.push_back(
        {pacedName + ": program CPU s, screen", Format("%.3f", screenPaced.playbackCpu) + " in " +
                                                    Format("%.1f s", screenPaced.playSeconds)});
    figures.push_back({pacedName + ": the model's share of the CPU", Format("%.1f %%", 100 * extra),
                       "< 10 %", replayPaced.ok && screenPaced.ok && extra < 0.10});

    // What a page costs to open and draw at all: a history of one line.
    Recording oneLine;
    oneLine.AddAfter(0,
                     "\x1b"
                     "c");
    oneLine.AddAfter(1000, "one line\r\n");
    oneLine.AddAfter(1000 * 1000000LL, "\r\n");
    AddPageFigures("join: after one line",
                   PageJoinLine(binary, sourceRoot, oneLine.WriteInto(folder, "line.ttyrec")),
                   figures);

    for (const size_t mb : {size_t{1}, size_t{10}, size_t{100}}) {
        if (quick && mb > 10) {
            break;
        }
        // Gaps of a millisecond: speed 100 plays the history as fast as the program can.
        const Recording history = History(sessions, mb * kMB, 1000);
        const std::string path =
            history.WriteInto(folder, ("history" + std::to_string(mb) + ".ttyrec").c_str());
        const std::string name = "join: after " + std::to_string(mb) + " MB";
        const JoinRun replay = RunJoin(binary, path, history, "replay");
        const JoinRun screen = RunJoin(binary, path, history, "screen");
        figures.push_back({name + ", replay: connect to last byte",
                           Format("%.1f ms", replay.joinMs) + ", " +
                               Format("%.0f KB", replay.joinBytes / 1024.0)});
        figures.push_back({name + ", screen: connect to last byte",
                           Format("%.1f ms", screen.joinMs), "< 20 ms",
                           screen.ok && screen.joinMs < 20});
        figures.push_back({name + ", screen: repaint size",
                           Format("%.1f KB", screen.joinBytes / 1024.0), "< 16 KB",
                           screen.ok && screen.joinBytes < 16 * 1024});
        AddPageFigures(name, PageJoinLine(binary, sourceRoot, path), figures);
    }
    return figures;
}

}  // namespace bench
