// Runs the real program headless and measures what its viewers feel: frame timing,
// catch-up throughput, fan-out cost, memory and start-up. Prints one table.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Harness.h"
#include "JoinBench.h"
#include "Live.h"
#include "Peers.h"
#include "Recordings.h"

using namespace bench;

namespace {

struct Options
{
    std::string binary;
    std::string sample;
    std::string peers;  // the folder of the peer servers
    std::string only;
    bool quick = false;
};

struct Row
{
    std::string name;
    std::string value;
    std::string goal;
    std::string verdict;
};
std::vector<Row> rows;

void AddRow(const std::string& name, const std::string& value, const std::string& goal = "",
            int met = -1)
{
    rows.push_back({name, value, goal, met < 0 ? "" : (met != 0 ? "met" : "MISSED")});
    std::fprintf(stderr, "  %-44s %s\n", name.c_str(), value.c_str());
}

// Keys that take the speed from 1 to the one asked for, by doubling.
std::string SpeedKeys(int speed)
{
    std::string keys;
    for (int s = 1; s < speed; s *= 2) {
        keys += '+';
    }
    return keys;
}

int ReachedSpeed(int speed)
{
    int s = 1;
    while (s < speed) {
        s *= 2;
    }
    return std::min(s, 100);
}

struct Paced
{
    bool ok = false;
    bool exact = false;
    double medianMs = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double p99WebMs = 0;  // browser viewers alone; the figures above are the telnet viewers'
    double maxWebMs = 0;
    double lastMs = 0;  // the last frame against the schedule, signed
    // How far the schedule slipped from the first frames to the last: the median signed
    // lateness of the last tenth minus that of the first tenth. The arrival that anchors
    // the schedule and any one late read weigh nothing here.
    double slipMs = 0;
    double cpuSeconds = 0;
    double clientCpuSeconds = 0;  // this driver's own, over the same stretch
    double playSeconds = 0;
    double deliveredMB = 0;
    long rssIdleKb = 0;
    long rssViewersKb = 0;
    long rssEndKb = 0;
    int viewers = 0;
    size_t complete = 0;
    size_t mismatched = 0;
};

double OwnCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// With OMBRIX_BENCH_PERF=FILE, the program's playback is sampled by perf into FILE; with
// OMBRIX_BENCH_SYSCALLS=FILE, its socket and polling system calls are counted into FILE.
pid_t StartProfiler(pid_t target)
{
    const char* samples = std::getenv("OMBRIX_BENCH_PERF");
    const char* calls = std::getenv("OMBRIX_BENCH_SYSCALLS");
    if (samples == nullptr && calls == nullptr) {
        return -1;
    }
    const pid_t perf = ::fork();
    if (perf == 0) {
        const std::string pid = std::to_string(target);
        if (samples != nullptr) {
            ::execlp("perf", "perf", "record", "-q", "-e", "cpu-clock", "-F", "2000", "-g", "-o",
                     samples, "-p", pid.c_str(), static_cast<char*>(nullptr));
        } else {
            ::execlp("perf", "perf", "stat", "-x,", "-o", calls, "-e",
                     "syscalls:sys_enter_sendto,syscalls:sys_enter_sendmsg,"
                     "syscalls:sys_enter_poll,syscalls:sys_enter_ppoll,"
                     "syscalls:sys_enter_epoll_wait,syscalls:sys_enter_epoll_pwait,"
                     "syscalls:sys_enter_epoll_ctl,"
                     "syscalls:sys_enter_ioctl,syscalls:sys_enter_recvfrom",
                     "-p", pid.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    return perf;
}

void StopProfiler(pid_t perf)
{
    if (perf > 0) {
        ::kill(perf, SIGINT);
        int status = 0;
        ::waitpid(perf, &status, 0);
    }
}

// Plays frames 1.. of a lead-in recording to `viewerCount` telnet viewers and `webCount`
// browser viewers at a speed reached by keys, and measures each arrival against the
// schedule that the first arrival anchors.
Paced RunPaced(const Options& options, const Recording& recording, int speed, size_t viewerCount,
               size_t webCount = 0, size_t connectWindow = 4)
{
    Paced result;
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "paced.ttyrec");
    const Stream stream = ExpectedStream(recording);
    const Stream webStream = ExpectedWebStream(recording);
    const size_t frames = recording.bodies.size();

    Server server(options.binary, path, FreePort(), webCount > 0 ? FreePort() : 0);
    if (!server.WaitForLinePrefix("connection: ", 10000) ||
        (webCount > 0 && !server.WaitForLinePrefix("web: ", 10000))) {
        std::fprintf(stderr, "the program did not start\n");
        return result;
    }
    usleep(300000);
    server.Drain();
    result.rssIdleKb = server.RssKb();

    ViewerPool pool(stream, server, &webStream);
    pool.Connect();
    if (!pool.RunUntil([&] { return pool.At(0).received >= stream.frameEnds[0]; }, 5000)) {
        std::fprintf(stderr, "the first frame did not arrive\n");
        return result;
    }
    const int reached = ReachedSpeed(speed);
    if (speed > 1) {
        pool.Send(0, SpeedKeys(speed));
        const std::string line = "speed: " + std::to_string(reached);
        if (!pool.RunUntil([&] { return server.HasLine(line); }, 5000)) {
            std::fprintf(stderr, "the speed did not change\n");
            return result;
        }
    }
    if (viewerCount > 1 &&
        !pool.ConnectMany(viewerCount - 1, connectWindow, stream.frameEnds[0], 300000)) {
        std::fprintf(stderr, "only %zu viewers connected\n", pool.Size());
        return result;
    }
    if (webCount > 0 && !pool.ConnectManyWeb(webCount, webStream.frameEnds[0], 120000)) {
        std::fprintf(stderr, "only %zu viewers connected\n", pool.Size());
        return result;
    }
    pool.RunUntil([] { return false; }, 300);
    result.rssViewersKb = server.RssKb();

    double scheduleMs = 0;
    for (size_t i = 2; i < frames; ++i) {
        scheduleMs += static_cast<double>(recording.DueAfterNs(i, reached)) / 1e6;
    }
    const pid_t profiler = viewerCount == 1000 ? StartProfiler(server.Pid()) : -1;
    const double cpuBefore = server.CpuSeconds();
    const double clientBefore = OwnCpuSeconds();
    const int64_t playStart = NowNs();
    pool.Send(0, "x");
    // Counted as bytes arrive for a telnet crowd; a walk over the pool with browser viewers.
    const bool done = pool.RunUntil(
        [&] { return webCount == 0 ? pool.AllReceived(stream.bytes.size()) : pool.AllComplete(); },
        static_cast<int>(scheduleMs) + 60000);
    result.cpuSeconds = server.CpuSeconds() - cpuBefore;
    result.clientCpuSeconds = OwnCpuSeconds() - clientBefore;
    result.playSeconds = Seconds(NowNs() - playStart);
    StopProfiler(profiler);
    result.rssEndKb = server.RssKb();
    result.viewers = static_cast<int>(pool.Size());

    const std::vector<int64_t> schedule = FrameSchedule(pool, recording, reached);
    std::vector<double> lateness;
    std::vector<double> webLateness;
    lateness.reserve(pool.Size() * frames);
    for (size_t v = 0; v < pool.Size(); ++v) {
        const Viewer& viewer = pool.At(v);
        for (size_t i = 1; i < frames; ++i) {
            if (viewer.arrivals[i] > 0) {
                (viewer.web ? webLateness : lateness)
                    .push_back(
                        std::fabs(static_cast<double>(viewer.arrivals[i] - schedule[i]) / 1e6));
            }
        }
    }
    result.p99WebMs = Percentile(webLateness, 0.99);
    result.maxWebMs =
        webLateness.empty() ? 0 : *std::max_element(webLateness.begin(), webLateness.end());
    if (std::getenv("OMBRIX_BENCH_DUMP") != nullptr) {
        const size_t last = pool.Size() - 1;
        for (size_t i = 1; i < frames; ++i) {
            std::fprintf(stderr, "frame %zu delay %u late %+.3f ms (last viewer %+.3f ms)\n", i,
                         i >= 2 ? recording.DelayMs(i, reached) : 0,
                         static_cast<double>(pool.At(0).arrivals[i] - schedule[i]) / 1e6,
                         static_cast<double>(pool.At(last).arrivals[i] - schedule[i]) / 1e6);
        }
    }
    result.medianMs = Percentile(lateness, 0.5);
    result.p99Ms = Percentile(lateness, 0.99);
    result.maxMs = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
    result.lastMs =
        static_cast<double>(pool.At(0).arrivals[frames - 1] - schedule[frames - 1]) / 1e6;
    const size_t tenth = std::max<size_t>(5, (frames - 2) / 10);
    std::vector<double> head;
    std::vector<double> tail;
    for (size_t i = 2; i < frames && i < 2 + tenth; ++i) {
        head.push_back(static_cast<double>(pool.At(0).arrivals[i] - schedule[i]) / 1e6);
        tail.push_back(static_cast<double>(pool.At(0).arrivals[frames - 1 - (i - 2)] -
                                           schedule[frames - 1 - (i - 2)]) /
                       1e6);
    }
    result.slipMs = Percentile(tail, 0.5) - Percentile(head, 0.5);
    result.deliveredMB =
        static_cast<double>(viewerCount * (stream.bytes.size() - stream.frameEnds[0]) +
                            webCount * (webStream.bytes.size() - webStream.frameEnds[0])) /
        1e6;
    size_t complete = 0;
    size_t mismatched = 0;
    size_t closed = 0;
    for (size_t v = 0; v < pool.Size(); ++v) {
        complete +=
            pool.At(v).received >= (pool.At(v).web ? webStream : stream).bytes.size() ? 1 : 0;
        mismatched += pool.At(v).mismatch ? 1 : 0;
        closed += pool.At(v).closed ? 1 : 0;
    }
    if (!done || pool.AnyMismatch()) {
        std::fprintf(stderr, "  %zu of %zu viewers complete, %zu differ, %zu closed; program %s\n",
                     complete, pool.Size(), mismatched, closed,
                     server.Alive() ? "running" : "gone");
    }
    result.exact = done && !pool.AnyMismatch();
    result.ok = done;
    result.complete = complete;
    result.mismatched = mismatched;
    pool.CloseAll();
    server.Stop();
    return result;
}

void Timing(const Options& options)
{
    std::fprintf(stderr, "timing\n");
    const Recording slow = TimingRecording(options.quick ? 15 : 60);
    const Recording fast = TimingRecording(options.quick ? 40 : 200);
    for (int speed : {1, 8}) {
        for (size_t viewers : {size_t{1}, size_t{100}}) {
            const Paced r = RunPaced(options, speed == 1 ? slow : fast, speed, viewers);
            const std::string label = "timing speed " + std::to_string(speed) + ", " +
                                      std::to_string(viewers) + " viewer(s)";
            const bool one = viewers == 1;
            AddRow(label + ": median |late|", Format("%.3f ms", r.medianMs), one ? "< 0.5 ms" : "",
                   one ? (r.ok && r.medianMs < 0.5) : -1);
            AddRow(label + ": p99 |late|", Format("%.3f ms", r.p99Ms), one ? "< 2 ms" : "< 10 ms",
                   r.ok && r.p99Ms < (one ? 2.0 : 10.0));
            AddRow(label + ": stream byte-exact", r.exact ? "yes" : "NO", "yes", r.exact);
        }
    }
}

void Drift(const Options& options)
{
    std::fprintf(stderr, "drift\n");
    const size_t even = options.quick ? 200 : 1000;
    const size_t realistic = options.quick ? 50 : 200;
    const struct
    {
        std::string name;
        Recording recording;
    } runs[] = {
        {std::to_string(even) + " gaps of 10 ms", EvenRecording(even, 10)},
        {std::to_string(realistic) + " gaps of 5-900 ms", TimingRecording(realistic)},
        {std::to_string(even) + " gaps of 2 ms", EvenRecording(even, 2)},
    };
    for (const auto& run : runs) {
        const Paced r = RunPaced(options, run.recording, 1, 1);
        AddRow("drift: " + run.name + ", last frame vs recording clock",
               Format("%+.3f ms", r.lastMs), "|x| < 1 ms", r.ok && std::fabs(r.lastMs) < 1.0);
        AddRow("drift: " + run.name + ", last tenth vs first tenth", Format("%+.3f ms", r.slipMs));
    }
}

// What newcomers that connect and never read cost in resident memory, once a recording
// of 8 MB has played: each one's catch-up waits on it for good.
void CatchUpMemory(const Options& options)
{
    std::fprintf(stderr, "catch-up memory\n");
    const size_t target = options.quick ? (2u << 20) : 8'000'000;
    const Recording recording = CatchUpRecording(target);
    const Stream stream = ExpectedStream(recording);
    const size_t lastSent = recording.bodies.size() - 3;
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "stalled.ttyrec");
    for (size_t newcomers : {size_t{60}, size_t{1000}}) {
        Server server(options.binary, path, FreePort());
        server.WaitForLinePrefix("connection: ", 10000);
        usleep(300000);  // the status line may come just before the port listens
        ViewerPool pool(stream, server);
        // The driver viewer starts the playback, which runs to the long gap before the
        // last two frames.
        pool.Connect();
        if (!pool.RunUntil([&] { return pool.At(0).received >= stream.frameEnds[lastSent]; },
                           120000)) {
            std::fprintf(stderr, "the recording did not play to its end\n");
            return;
        }
        pool.RunUntil([] { return false; }, 300);
        const long before = server.RssKb();
        // Newcomers that connect and never read.
        std::vector<UniqueFd> stalled;
        bool joined = true;
        for (size_t i = 0; i < newcomers && joined; ++i) {
            stalled.push_back(NewLoopbackSocket());
            StartConnect(stalled.back().Get(), server.Port());
            // A few at a time, so the listen backlog never overflows.
            if ((i + 1) % 4 == 0 || i + 1 == newcomers) {
                const std::string line = "connection: 127.0.0.1," + std::to_string(i + 2);
                joined = pool.RunUntil([&] { return server.HasLine(line); }, 30000);
            }
        }
        pool.RunUntil([] { return false; }, 500);
        const long after = server.RssKb();
        const double perNewcomerKb =
            static_cast<double>(after - before) / static_cast<double>(newcomers);
        const std::string label =
            "catch-up memory: " + std::to_string(newcomers) + " newcomers that never read, " +
            Format("%.1f", static_cast<double>(stream.frameEnds[lastSent]) / 1e6) + " MB played";
        AddRow(label + ": RSS growth",
               joined ? Format("%.1f MB", static_cast<double>(after - before) / 1024.0)
                      : "NOT ALL JOINED");
        AddRow(label + ": per newcomer", Format("%.0f KiB", perNewcomerKb), "<= 256 KiB",
               joined && perNewcomerKb <= 256);
        stalled.clear();
        pool.CloseAll();
        server.Stop();
    }
}

// The plain program the catch-up is compared with: read the file, write it to a socket.
double BaselineMBps(const std::string& path, size_t expectedBytes)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    ::listen(listener, 5);
    const pid_t child = ::fork();
    if (child == 0) {
        const int connection = ::accept(listener, nullptr, nullptr);
        std::FILE* file = std::fopen(path.c_str(), "rb");
        std::vector<char> buffer(1 << 16);
        size_t got = 0;
        while (file != nullptr && (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
            for (size_t sent = 0; sent < got;) {
                const ssize_t n =
                    ::send(connection, buffer.data() + sent, got - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    ::_exit(1);
                }
                sent += static_cast<size_t>(n);
            }
        }
        ::_exit(0);
    }
    ::close(listener);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int64_t start = NowNs();
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::vector<char> buffer(1 << 18);
    size_t total = 0;
    int64_t last = start;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        total += static_cast<size_t>(n);
        last = NowNs();
    }
    ::close(fd);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (total != expectedBytes) {
        std::fprintf(stderr, "baseline moved %zu of %zu bytes\n", total, expectedBytes);
    }
    return static_cast<double>(total) / 1e6 / Seconds(last - start);
}

struct CatchUpRun
{
    double mbps = 0;
    size_t bytes = 0;
    bool whole = false;
};

// Plays the recording at path to its third frame from the end (where it waits 500 s), then
// times a joiner from its connect() to the last byte of its catch-up.
CatchUpRun TimeCatchUp(const Options& options, const std::string& path, const Stream& stream,
                       size_t frames)
{
    CatchUpRun run;
    Server server(options.binary, path, FreePort());
    server.WaitForLinePrefix("connection: ", 10000);
    ViewerPool pool(stream, server);
    // A driver viewer starts the playback, which runs to the long gap before the last two
    // frames.
    pool.Connect();
    const size_t lastSent = frames - 3;
    pool.RunUntil([&] { return pool.At(0).received >= stream.frameEnds[lastSent]; }, 300000);
    run.bytes = stream.frameEnds[lastSent];
    const int64_t start = NowNs();
    const size_t joiner = pool.Connect();
    run.whole = pool.RunUntil([&] { return pool.At(joiner).received >= run.bytes; }, 300000);
    const int64_t end = pool.At(joiner).arrivals[lastSent];
    run.whole = run.whole && !pool.At(joiner).mismatch && !pool.At(0).mismatch;
    run.mbps = static_cast<double>(run.bytes) / 1e6 / Seconds(end - start);
    pool.CloseAll();
    server.Stop();
    return run;
}

void CatchUp(const Options& options)
{
    std::fprintf(stderr, "catch-up\n");
    const size_t target = options.quick ? (10u << 20) : (100u << 20);
    const Recording recording = CatchUpRecording(target);
    const Stream stream = ExpectedStream(recording);
    const size_t frames = recording.bodies.size();
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "catchup.ttyrec");
    const auto fileBytes = static_cast<size_t>(recording.Bytes().size());
    // The same recording compressed the way recorders write it now; the joiner's catch-up
    // comes from what the player has decoded, not from decompressing again.
    const std::string zstdPath = path + ".zst";
    const bool compressed =
        std::system(("zstd -q -3 -f -o '" + zstdPath + "' '" + path + "'").c_str()) == 0;

    const CatchUpRun raw = TimeCatchUp(options, path, stream, frames);
    AddRow(
        "catch-up: frames / MB sent to the joiner",
        std::to_string(frames - 2) + " / " + Format("%.1f", static_cast<double>(raw.bytes) / 1e6));
    const CatchUpRun zstd =
        compressed ? TimeCatchUp(options, zstdPath, stream, frames) : CatchUpRun{};
    const double baseline = BaselineMBps(path, fileBytes);
    AddRow("catch-up: ombrix MB/s", Format("%.0f", raw.mbps));
    AddRow("catch-up: baseline file-to-socket MB/s", Format("%.0f", baseline));
    AddRow("catch-up: ratio to baseline", Format("%.2f", raw.mbps / baseline), ">= 0.5",
           raw.mbps >= 0.5 * baseline);
    AddRow("catch-up: whole and byte-exact", raw.whole ? "yes" : "NO", "yes", raw.whole);
    AddRow("catch-up from .zst: ombrix MB/s", Format("%.0f", zstd.mbps));
    AddRow("catch-up from .zst: ratio to raw", Format("%.2f", zstd.mbps / raw.mbps), ">= 0.5",
           zstd.mbps >= 0.5 * raw.mbps);
    AddRow("catch-up from .zst: whole and byte-exact", zstd.whole ? "yes" : "NO", "yes",
           zstd.whole);
}

// CPU per delivered MB with 1000 viewers, which ten thousand must not exceed; -1 when the
// fan-out has not run.
double fanOutCpuPerMBAt1000 = -1;

void FanOut(const Options& options)
{
    std::fprintf(stderr, "fan-out\n");
    const Recording recording = SessionRecording(options.quick ? (1u << 20) : (3u << 20));
    AddRow("fan-out recording: frames / MB",
           std::to_string(recording.bodies.size()) + " / " +
               Format("%.2f", static_cast<double>(recording.BodyBytes()) / 1e6));
    double cpuPerMBAt1000 = 0;
    for (size_t viewers : {size_t{1}, size_t{100}, size_t{1000}}) {
        const Paced r = RunPaced(options, recording, 100, viewers);
        const double cpuPerMB = r.deliveredMB > 0 ? r.cpuSeconds / r.deliveredMB : 0;
        cpuPerMBAt1000 = cpuPerMB;
        const std::string label = "fan-out " + std::to_string(viewers) + " viewer(s) at speed 100";
        AddRow(label + ": CPU s per delivered MB", Format("%.5f", cpuPerMB));
        AddRow(label + ": p99 |late|", Format("%.2f ms", r.p99Ms), viewers == 1000 ? "< 10 ms" : "",
               viewers == 1000 ? (r.ok && r.p99Ms < 10) : -1);
        AddRow(label + ": max |late|", Format("%.2f ms", r.maxMs));
        AddRow(label + ": all streams byte-exact", r.exact ? "yes" : "NO", "yes", r.exact);
        if (viewers == 1000) {
            AddRow(label + ": playback s / program CPU s / client CPU s",
                   Format("%.1f", r.playSeconds) + " / " + Format("%.1f", r.cpuSeconds) + " / " +
                       Format("%.1f", r.clientCpuSeconds));
        }
    }
    fanOutCpuPerMBAt1000 = cpuPerMBAt1000;
}

void TenThousand(const Options& options)
{
    std::fprintf(stderr, "ten thousand\n");
    // Ten thousand viewers get a shorter stretch of the same kind of session: the byte rate
    // per viewer is the same, the run and the client's arrival table are smaller.
    const Recording shorter = SessionRecording(512u << 10);
    const std::string label = "fan-out 10000 viewer(s) at speed 100";
    AddRow(label + ": recording frames / MB",
           std::to_string(shorter.bodies.size()) + " / " +
               Format("%.2f", static_cast<double>(shorter.BodyBytes()) / 1e6));
    // Viewers connect 32 at a time; OMBRIX_BENCH_WINDOW=4 suits a program whose listen
    // backlog is 5, where a wider window waits on SYN retransmits.
    const char* windowText = std::getenv("OMBRIX_BENCH_WINDOW");
    const size_t window = windowText != nullptr ? std::strtoul(windowText, nullptr, 10) : 32;
    const Paced r = RunPaced(options, shorter, 100, 10000, 0, window);
    const double cpuPerMB = r.deliveredMB > 0 ? r.cpuSeconds / r.deliveredMB : 0;
    AddRow(label + ": CPU s per delivered MB", Format("%.5f", cpuPerMB), "<= at 1000",
           fanOutCpuPerMBAt1000 < 0 ? -1 : (r.ok && cpuPerMB <= fanOutCpuPerMBAt1000));
    AddRow(label + ": p99 |late|", Format("%.2f ms", r.p99Ms), "< 20 ms", r.ok && r.p99Ms < 20);
    AddRow(label + ": max |late|", Format("%.2f ms", r.maxMs));
    AddRow(label + ": complete / differing streams",
           std::to_string(r.complete) + " / " + std::to_string(r.mismatched));
    AddRow(label + ": playback s / program CPU s / client CPU s",
           Format("%.1f", r.playSeconds) + " / " + Format("%.1f", r.cpuSeconds) + " / " +
               Format("%.1f", r.clientCpuSeconds));
    AddRow(label + ": all streams byte-exact", r.exact ? "yes" : "NO", "yes", r.exact);
    const double perViewer =
        static_cast<double>(r.rssViewersKb - r.rssIdleKb) / static_cast<double>(r.viewers);
    AddRow("memory: RSS idle, recording open", Format("%.1f MB", r.rssIdleKb / 1024.0));
    AddRow("memory: RSS with 10000 viewers", Format("%.1f MB", r.rssViewersKb / 1024.0));
    AddRow("memory: RSS after playing to 10000", Format("%.1f MB", r.rssEndKb / 1024.0));
    AddRow("memory: per idle viewer", Format("%.1f KB", perViewer), "< 8 KB", perViewer < 8);

    // The same crowd at a byte rate two shared cores can carry: what is left is the cost of
    // the crowd itself.
    const Paced slower = RunPaced(options, shorter, 8, 10000, window);
    const std::string slowLabel = "fan-out 10000 viewer(s) at speed 8";
    AddRow(slowLabel + ": CPU s per delivered MB",
           Format("%.5f", slower.deliveredMB > 0 ? slower.cpuSeconds / slower.deliveredMB : 0));
    AddRow(slowLabel + ": p99 |late|", Format("%.2f ms", slower.p99Ms));
    AddRow(slowLabel + ": max |late|", Format("%.2f ms", slower.maxMs));
    AddRow(slowLabel + ": playback s / program CPU s / client CPU s",
           Format("%.1f", slower.playSeconds) + " / " + Format("%.1f", slower.cpuSeconds) + " / " +
               Format("%.1f", slower.clientCpuSeconds));
    AddRow(slowLabel + ": all streams byte-exact", slower.exact ? "yes" : "NO", "yes",
           slower.exact);
}

// Viewers connecting all at once: each connect() is made without waiting for the one
// before; the clock runs from the first connect() to each viewer's greeting.
void Burst(const Options& options)
{
    std::fprintf(stderr, "burst\n");
    const size_t count = options.quick ? 500 : 2000;
    const Recording recording = EvenRecording(10, 10);
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "burst.ttyrec");
    const Stream stream = ExpectedStream(recording);
    Server server(options.binary, path, FreePort());
    server.WaitForLinePrefix("connection: ", 10000);
    WaitForListening(server.Port(), 5000);
    ViewerPool pool(stream, server);
    const long dropsBefore = ListenDrops();
    const int64_t start = NowNs();
    for (size_t i = 0; i < count; ++i) {
        pool.Connect();
    }
    const bool all = pool.RunUntil([&] { return pool.Greeted() == count; }, 20000);
    const long drops = ListenDrops() - dropsBefore;
    int64_t slowest = 0;
    for (size_t i = 0; i < pool.Size(); ++i) {
        if (pool.At(i).greetedNs > 0) {
            slowest = std::max(slowest, pool.At(i).greetedNs - start);
        }
    }
    const std::string label = "burst of " + std::to_string(count) + " connects";
    AddRow(label + ": greeted", std::to_string(pool.Greeted()), std::to_string(count),
           pool.Greeted() == count);
    AddRow(label + ": last greeting after", Format("%.0f ms", Seconds(slowest) * 1000), "< 3000 ms",
           all && slowest < 3'000'000'000);
    // A connection dropped at a full listen queue waits a second for its SYN's retransmit.
    // The counter is the whole system's: another program's drops would show here too.
    AddRow(label + ": SYNs dropped at the listen queue", std::to_string(drops), "0", drops == 0);
    pool.CloseAll();
    server.Stop();
}

// Bytes the kernel still holds in the send queue of the server's side of the connection.
long SendQueueBytes(int serverPort)
{
    const std::string command =
        "ss -tnH state established '( sport = :" + std::to_string(serverPort) + " )'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    long total = 0;
    char line[512];
    while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
        long receiveQueue = 0;
        long sendQueue = 0;
        if (std::sscanf(line, "%ld %ld", &receiveQueue, &sendQueue) == 2) {
            total += sendQueue;
        }
    }
    if (pipe != nullptr) {
        ::pclose(pipe);
    }
    return total;
}

// One viewer that never reads while 20 MB of wide frames play: the program's memory
// growth for what it holds queued.
void QueuedMemory(const Options& options)
{
    std::fprintf(stderr, "queued memory\n");
    Recording recording;
    recording.Add(io::FrameTime{1000, 0}, "start");
    for (int i = 0; i < (options.quick ? 250 : 1000); ++i) {
        recording.AddAfter(2000, std::string(20000, static_cast<char>('a' + i % 26)));
    }
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "wide.ttyrec");
    const Stream stream = ExpectedStream(recording);
    Server server(options.binary, path, FreePort());
    server.WaitForLinePrefix("connection: ", 10000);
    usleep(300000);
    const long idleKb = server.RssKb();
    const UniqueFd viewer = ConnectLoopback(server.Port(), {.receiveBufferBytes = 4096});
    const bool ended = server.WaitForLinePrefix("file: ファイル終端", 60000);
    usleep(200000);
    const long heldKb = server.RssKb();
    int inClient = 0;
    ::ioctl(viewer.Get(), FIONREAD, &inClient);
    const double queuedMB = static_cast<double>(static_cast<long>(stream.bytes.size()) -
                                                SendQueueBytes(server.Port()) - inClient) /
                            1e6;
    const double perMB = static_cast<double>(heldKb - idleKb) / 1024.0 / queuedMB;
    AddRow("memory: queued for a viewer that never reads", Format("%.1f MB", queuedMB));
    AddRow("memory: RSS growth per queued MB", Format("%.2f MB", perMB), "~1",
           ended && perMB < 1.3);
    server.Stop();
}

struct PeerRun
{
    double cpuSeconds = 0;
    double deliveredMB = 0;
    double p99Ms = 0;
    double maxMs = 0;
    size_t complete = 0;
    size_t mismatched = 0;
    size_t viewers = 0;
    double lostMB = 0;
};

// The same fan-out through another server: ttyplay piped into ncat --broker, or the
// asyncio server. Frames are measured against their recorded times divided by the speed.
PeerRun RunPeer(const Options& options, const Recording& recording, bool ncat, size_t viewers)
{
    PeerRun result;
    Recording played;  // without the lead-in, which only Ombrix needs
    for (size_t i = 1; i < recording.bodies.size(); ++i) {
        played.Add(recording.times[i], recording.bodies[i]);
    }
    const Stream stream = RawStream(played, 0);
    RecordingFolder folder;
    const std::string path = played.WriteInto(folder, "peer.ttyrec");
    const int port = FreePort();
    const std::string portText = std::to_string(port);
    int relay[2] = {-1, -1};
    pid_t server = -1;
    if (ncat) {
        ::pipe2(relay, O_CLOEXEC);
        server = Spawn({"ncat", "--broker", "--max-conns", "20000", "-l", "127.0.0.1", portText},
                       relay[0], -1);
        ::close(relay[0]);
    } else {
        server = Spawn({"python3", options.peers + "/asyncio_fanout.py", path, portText, "100",
                        std::to_string(viewers)},
                       -1, -1);
    }
    WaitForListening(port, 10000);
    ViewerPool pool(stream, port, -1, {});
    for (size_t i = 0; i < viewers; ++i) {
        pool.Connect();
    }
    pool.RunUntil([] { return false; }, 1000);
    const double cpuBefore = CpuSeconds(server);
    pid_t player = -1;
    if (ncat) {
        player = Spawn({"ttyplay", "-s", "100", path}, -1, relay[1]);
        ::close(relay[1]);
    }
    const io::FrameTime total = io::FrameTimeDiff(played.times.front(), played.times.back());
    const double durationMs = (total.seconds * 1000.0 + total.microseconds / 1000.0) / 100.0;
    pool.RunUntil([&] { return pool.Complete() == viewers; }, static_cast<int>(durationMs) + 20000);
    const double playerCpu = ncat ? WaitForCpu(player, 5000) : 0;
    result.cpuSeconds = CpuSeconds(server) - cpuBefore + playerCpu;
    StopForCpu(server);

    int64_t anchor = INT64_MAX;
    for (size_t v = 0; v < pool.Size(); ++v) {
        if (pool.At(v).arrivals[0] > 0) {
            anchor = std::min(anchor, pool.At(v).arrivals[0]);
        }
    }
    std::vector<double> lateness;
    size_t receivedBytes = 0;
    for (size_t v = 0; v < pool.Size(); ++v) {
        const Viewer& viewer = pool.At(v);
        receivedBytes += std::min(viewer.received, stream.bytes.size());
        result.complete += viewer.received >= stream.bytes.size() && !viewer.mismatch ? 1 : 0;
        result.mismatched += viewer.mismatch ? 1 : 0;
        for (size_t i = 0; i < played.times.size(); ++i) {
            if (viewer.arrivals[i] <= 0) {
                continue;
            }
            const io::FrameTime since = io::FrameTimeDiff(played.times[0], played.times[i]);
            const double dueNs =
                (static_cast<double>(since.seconds) * 1e9 + since.microseconds * 1e3) / 100.0;
            lateness.push_back(std::fabs(static_cast<double>(viewer.arrivals[i] - anchor) - dueNs) /
                               1e6);
        }
    }
    result.viewers = pool.Size();
    result.deliveredMB = static_cast<double>(receivedBytes) / 1e6;
    result.lostMB = static_cast<double>(pool.Size() * stream.bytes.size() - receivedBytes) / 1e6;
    result.p99Ms = Percentile(lateness, 0.99);
    result.maxMs = lateness.empty() ? 0 : *std::max_element(lateness.begin(), lateness.end());
    pool.CloseAll();
    return result;
}

void Peers(const Options& options)
{
    std::fprintf(stderr, "peers\n");
    const size_t viewers = 200;
    const Recording recording = SessionRecording(options.quick ? (1u << 20) : (3u << 20));
    const Paced ours = RunPaced(options, recording, 100, viewers);
    const double ourCpu = ours.deliveredMB > 0 ? ours.cpuSeconds / ours.deliveredMB : 0;
    const PeerRun relay = RunPeer(options, recording, true, viewers);
    const PeerRun python = RunPeer(options, recording, false, viewers);
    const auto perMB = [](const PeerRun& r) {
        return r.deliveredMB > 0 ? r.cpuSeconds / r.deliveredMB : 0;
    };
    const std::string at = " (200 viewers, speed 100)";
    AddRow("peers: ombrix CPU s per delivered MB" + at, Format("%.5f", ourCpu), "< both",
           ours.ok && ourCpu < perMB(relay) && ourCpu < perMB(python));
    AddRow("peers: ttyplay | ncat --broker CPU s per MB", Format("%.5f", perMB(relay)));
    AddRow("peers: asyncio server CPU s per MB", Format("%.5f", perMB(python)));
    AddRow("peers: ombrix p99 / max |late|",
           Format("%.2f", ours.p99Ms) + " / " + Format("%.2f ms", ours.maxMs));
    AddRow("peers: ttyplay | ncat p99 / max |late|",
           Format("%.2f", relay.p99Ms) + " / " + Format("%.2f ms", relay.maxMs));
    AddRow("peers: asyncio p99 / max |late|",
           Format("%.2f", python.p99Ms) + " / " + Format("%.2f ms", python.maxMs));
    AddRow("peers: ombrix streams whole / differing",
           std::to_string(ours.complete) + " / " + std::to_string(ours.mismatched));
    AddRow("peers: ttyplay | ncat streams whole / differing / MB lost",
           std::to_string(relay.complete) + " / " + std::to_string(relay.mismatched) + " / " +
               Format("%.2f", relay.lostMB));
    AddRow("peers: asyncio streams whole / differing / MB lost",
           std::to_string(python.complete) + " / " + std::to_string(python.mismatched) + " / " +
               Format("%.2f", python.lostMB));
}

// Browser viewers beside telnet viewers on the fan-out recording at speed 100: each kind
// alone (a telnet viewer drives the browsers' run with its keys), then both together.
void WebFanOut(const Options& options)
{
    std::fprintf(stderr, "web fan-out\n");
    const Recording recording = SessionRecording(options.quick ? (1u << 20) : (3u << 20));
    const size_t count = options.quick ? 20 : 100;
    const std::string n = std::to_string(count);
    struct Run
    {
        std::string label;
        size_t telnet;
        size_t web;
    };
    for (const Run& run : {Run{n + " telnet", count, 0}, Run{"1 telnet + " + n + " web", 1, count},
                           Run{n + " telnet + " + n + " web", count, count}}) {
        const Paced r = RunPaced(options, recording, 100, run.telnet, run.web);
        const std::string label = "web fan-out " + run.label + " at speed 100";
        AddRow(label + ": CPU s per delivered MB",
               Format("%.5f", r.deliveredMB > 0 ? r.cpuSeconds / r.deliveredMB : 0));
        if (run.telnet > 1) {
            AddRow(label + ": telnet p99 |late|", Format("%.2f ms", r.p99Ms));
        }
        if (run.web > 0) {
            AddRow(label + ": web p99 |late|", Format("%.2f ms", r.p99WebMs));
            AddRow(label + ": web max |late|", Format("%.2f ms", r.maxWebMs));
        }
        AddRow(label + ": all streams byte-exact", r.exact ? "yes" : "NO", "yes", r.exact);
    }
}

void StartUp(const Options& options)
{
    std::fprintf(stderr, "start-up\n");
    std::vector<double> times;
    for (int run = 0; run < 7; ++run) {
        Server server(options.binary, options.sample, FreePort());
        if (server.WaitForLinePrefix("connection: ", 10000)) {
            times.push_back(Seconds(server.ListeningNs() - server.StartNs()) * 1000);
        }
        server.Stop();
    }
    const double median = Percentile(times, 0.5);
    const double worst = times.empty() ? 0 : *std::max_element(times.begin(), times.end());
    AddRow("start to listening, median of 7", Format("%.1f ms", median), "< 300 ms",
           !times.empty() && median < 300);
    AddRow("start to listening, slowest of 7", Format("%.1f ms", worst));
}

// Frames due every 10 ms, each of which changes the time line, to one reading viewer;
// with `stall`, standard output is a pipe shrunk to one page that nobody reads. Returns
// the worst and the 99th-percentile lateness of a frame; worst is negative when not every
// frame arrived whole.
struct Lateness
{
    double worstMs = -1;
    double p99Ms = -1;
};
Lateness MeasureLateness(const Options& options, bool stall, bool* serving)
{
    const size_t frames = options.quick ? 1000 : 6000;
    const Recording recording = EvenRecording(frames, 1000);  // played at 100: 10 ms apart
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "stalled.ttyrec");
    const Stream stream = ExpectedStream(recording);
    Server server(options.binary, path, FreePort());
    ViewerPool pool(stream, server);
    bool ready = server.WaitForLinePrefix("connection: ", 10000);
    pool.Connect();
    ready =
        ready && pool.RunUntil([&] { return pool.At(0).received >= stream.frameEnds[0]; }, 5000);
    pool.Send(0, SpeedKeys(100));
    ready = ready && pool.RunUntil([&] { return server.HasLine("speed: 100"); }, 5000);
    if (!ready) {
        std::fprintf(stderr, "the program did not start playing\n");
        return {};
    }
    if (stall) {
        server.ShrinkOutputPipe();
        pool.StopReadingServer();
    }
    pool.Send(0, "x");
    const size_t total = recording.bodies.size();
    double scheduleMs = 0;
    for (size_t i = 2; i < total; ++i) {
        scheduleMs += recording.DelayMs(i, 100);
    }
    const bool done = pool.RunUntil([&] { return pool.AllReceived(stream.bytes.size()); },
                                    static_cast<int>(scheduleMs) + 30000);
    const Viewer& viewer = pool.At(0);
    std::vector<double> lateness;
    int64_t due = viewer.arrivals[1];
    for (size_t i = 2; i < total && viewer.arrivals[i] > 0; ++i) {
        due += int64_t{recording.DelayMs(i, 100)} * 1000000;
        lateness.push_back(std::fabs(static_cast<double>(viewer.arrivals[i] - due) / 1e6));
    }
    *serving = server.Alive();
    const bool exact = done && !pool.AnyMismatch();
    pool.CloseAll();
    server.Stop();
    if (!exact || lateness.empty()) {
        return {};
    }
    return {*std::max_element(lateness.begin(), lateness.end()), Percentile(lateness, 0.99)};
}

void StalledOutput(const Options& options)
{
    std::fprintf(stderr, "stalled output\n");
    bool serving = false;
    const Lateness read = MeasureLateness(options, false, &serving);
    const Lateness stalled = MeasureLateness(options, true, &serving);
    const bool whole = stalled.worstMs >= 0;
    AddRow("stalled stdout: every frame of 10 ms delivered, byte-exact", whole ? "yes" : "NO",
           "yes", whole);
    AddRow("stdout read: p99 / worst |late| of the viewer",
           Format("%.2f", read.p99Ms) + " / " + Format("%.2f ms", read.worstMs));
    AddRow("stalled stdout: p99 / worst |late| of the viewer",
           Format("%.2f", stalled.p99Ms) + " / " + Format("%.2f ms", stalled.worstMs),
           "p99 < 2x read + 1 ms", whole && stalled.p99Ms < 2 * read.p99Ms + 1);
    AddRow("stalled stdout: program still serving", serving ? "yes" : "NO", "yes", serving);
}

// Waits up to timeoutMs for bytes on fd and reads what came; false when none did.
bool ReadSome(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) <= 0) {
        return false;
    }
    char buffer[65536];
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    return true;
}

// A second start hands the running copy a 60 MB asciicast v1 file, its header's keys
// after the entries, while a viewer presses "next frame" every 10 ms: the longest wait for
// an answer is the longest the loop stood still.
void HandoffStall(const Options& options)
{
    std::fprintf(stderr, "hand-off of a big asciicast v1 file\n");
    RecordingFolder folder;
    Recording keysOnly;  // frames an hour apart: only keys move it on
    for (int i = 0; i < 5000; ++i) {
        keysOnly.Add({i * 3600, 0}, "a");
    }
    const std::string path = keysOnly.WriteInto(folder, "keys.ttyrec");
    QByteArray v1 = "{\"stdout\": [[1000, \"first\"]";
    while (v1.size() < (options.quick ? 8 : 60) << 20) {
        v1 += ", [1000, \"ab\"]";
    }
    v1 += "], \"version\": 1, \"width\": 90, \"height\": 30}";
    const QString big = folder.Write(QStringLiteral("big.cast"), v1);

    Server server(options.binary, path, FreePort());
    const bool ready = server.WaitForLinePrefix("connection: ", 10000);
    const UniqueFd viewer = ConnectLoopback(server.Port());
    ReadSome(viewer.Get(), 2000);
    OmbrixProcess second(server.RuntimeDir(),
                         {QStringLiteral("--port"), QString::number(server.Port()), big}, QString(),
                         QString::fromStdString(options.binary));
    const int64_t start = NowNs();
    double longestMs = 0;
    int status = -1;
    while (NowNs() - start < 15'000'000'000 && (status = second.WaitForExit(0)) == -1) {
        const int64_t sent = NowNs();
        ReadSome(viewer.Get(), 0);
        if (::send(viewer.Get(), "x", 1, MSG_NOSIGNAL) != 1 || !ReadSome(viewer.Get(), 5000)) {
            break;
        }
        longestMs = std::max(longestMs, Seconds(NowNs() - sent) * 1000);
        ::usleep(10000);
    }
    const double handoffS = Seconds(NowNs() - start);
    server.Drain();
    const bool opened = server.HasLine("file: big.cast");
    std::string peak = "?";
    QFile statusFile(QStringLiteral("/proc/%1/status").arg(server.Pid()));
    if (statusFile.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : statusFile.readAll().split('\n')) {
            if (line.startsWith("VmHWM:")) {
                peak = Format("%.0f MB", line.mid(6).trimmed().split(' ')[0].toDouble() / 1024);
            }
        }
    }
    const std::string size = Format("%.0f MB", static_cast<double>(v1.size()) / 1e6);
    AddRow("hand-off of a " + size + " asciicast v1: longest answer to a key",
           Format("%.0f ms", longestMs), "< 100 ms", ready && longestMs < 100);
    AddRow("hand-off of a " + size + " asciicast v1: second start's status / seconds",
           std::to_string(status) + " / " + Format("%.2f s", handoffS), "0", status == 0);
    AddRow("hand-off of a " + size + " asciicast v1: opened / program's peak RSS",
           std::string(opened ? "yes" : "NO") + " / " + peak, "yes", opened);
    server.Stop();
}

// The ten short recordings of the playlist benchmark, as files and as what each sends:
// plain ttyrec, two of them gzip-compressed and one an asciicast file, so that every kind
// of source is opened and closed thousands of times.
struct ShortRecordings
{
    RecordingFolder folder;
    QByteArrayList paths;
    std::vector<std::string> bodies;
};

void WriteShortRecordings(ShortRecordings& out)
{
    for (int r = 0; r < 10; ++r) {
        Recording recording;
        std::string body;
        std::string cast = "{\"version\": 2, \"width\": 80, \"height\": 24}\n";
        // Four frames 10 ms apart.
        for (int f = 0; f < 4; ++f) {
            char text[32];
            std::snprintf(text, sizeof text, "r%d f%d\r\n", r, f);
            char event[64];
            std::snprintf(event, sizeof event, "[0.0%d, \"o\", \"r%d f%d\\r\\n\"]\n", f, r, f);
            recording.Add(io::FrameTime{100, f * 10000}, text);
            cast += event;
            body += text;
        }
        char name[16];
        std::snprintf(name, sizeof name, "short%d", r);
        std::string path;
        if (r == 5) {
            path = out.folder
                       .Write(QString::fromLatin1(name) + QStringLiteral(".cast"),
                              QByteArray::fromStdString(cast))
                       .toStdString();
        } else {
            path = recording.WriteInto(out.folder, (std::string(name) + ".ttyrec").c_str());
        }
        if (r == 3 || r == 7) {
            if (std::system(("gzip -n -f '" + path + "'").c_str()) != 0) {
                std::fprintf(stderr, "gzip failed\n");
            }
            path += ".gz";
        }
        out.paths.append(QByteArray::fromStdString(path));
        out.bodies.push_back(body);
    }
}

// Ten short recordings looped at speed 100 until 20,000 have played, to one viewer whose
// whole stream is checked: the program's resident memory after the first hundred and at
// the end.
void PlaylistLoop(const Options& options)
{
    std::fprintf(stderr, "playlist\n");
    const size_t target = options.quick ? 2000 : 20000;
    ShortRecordings recordings;
    WriteShortRecordings(recordings);
    const std::string reset =
        "\x1b"
        "c";
    // The stream: the greeting and the first recording, then rounds of a reset and the
    // next recording, the first again after the last.
    std::string stream = ExpectedStream(Recording()).bytes;  // the greeting alone
    stream += recordings.bodies[0];
    std::string round;
    std::vector<bool> startsRecording;  // per byte of a round: the first of a reset
    for (size_t r = 1; r <= recordings.bodies.size(); ++r) {
        startsRecording.resize(round.size(), false);
        startsRecording.push_back(true);
        round += reset + recordings.bodies[r % recordings.bodies.size()];
    }
    startsRecording.resize(round.size(), false);

    OmbrixLaunch launch;
    launch.program = QString::fromStdString(options.binary);
    const int port = FreePort();
    launch.arguments = {"--port", QByteArray::number(port), "--playlist", "--loop", "--gap", "0"};
    launch.arguments += recordings.paths;
    launch.errorLog = QStringLiteral("stderr.log");
    launch.outputTail = 1 << 16;
    OmbrixProcess program(launch);
    if (!program.WaitForLinePrefix("connection: ", 10000)) {
        std::fprintf(stderr, "the program did not start\n");
        return;
    }
    usleep(300000);
    const long rssStart = ResidentKb(program.Pid());
    const UniqueFd viewer = ConnectLoopback(port);
    const std::string keys = SpeedKeys(100);
    if (!viewer.Valid() || ::send(viewer.Get(), keys.data(), keys.size(), 0) < 0) {
        std::fprintf(stderr, "no viewer\n");
        return;
    }

    size_t received = 0;
    size_t played = 1;
    bool exact = true;
    long rssAfter100 = 0;
    const int64_t start = NowNs();
    char buffer[65536];
    while (played < target && exact && Seconds(NowNs() - start) < 900) {
        pollfd poll{viewer.Get(), POLLIN, 0};
        ::poll(&poll, 1, 100);
        program.Drain();
        const ssize_t got = ::recv(viewer.Get(), buffer, sizeof buffer, 0);
        for (ssize_t i = 0; i < got && exact; ++i, ++received) {
            if (received < stream.size()) {
                exact = buffer[i] == stream[received];
                continue;
            }
            const size_t at = (received - stream.size()) % round.size();
            exact = buffer[i] == round[at];
            played += startsRecording[at] ? 1 : 0;
        }
        if (got == 0) {
            break;
        }
        if (rssAfter100 == 0 && played >= 100) {
            rssAfter100 = ResidentKb(program.Pid());
        }
    }
    const double seconds = Seconds(NowNs() - start);
    const long rssEnd = ResidentKb(program.Pid());
    program.Stop();
    const double growthMB = static_cast<double>(rssEnd - rssAfter100) / 1024.0;
    const std::string n = std::to_string(target);
    AddRow("playlist: recordings played at speed 100, gap 0", std::to_string(played), n,
           played >= target);
    AddRow("playlist: recordings per second", Format("%.0f", played / seconds));
    AddRow("playlist: RSS at start, first recording open", Format("%.1f MB", rssStart / 1024.0));
    AddRow("playlist: RSS after 100 recordings", Format("%.1f MB", rssAfter100 / 1024.0));
    AddRow("playlist: RSS after " + n + " recordings", Format("%.1f MB", rssEnd / 1024.0));
    AddRow("playlist: RSS growth after the first 100", Format("%+.2f MB", growthMB), "< 1 MB",
           played >= target && growthMB < 1.0);
    AddRow("playlist: stream byte-exact", exact ? "yes" : "NO", "yes", exact);
}

void Joins(const Options& options)
{
    std::fprintf(stderr, "join\n");
    // The sample lies in samples/ of the source tree, beside tests/recordings.
    const std::string root = options.sample.substr(0, options.sample.rfind("/samples/"));
    for (const Figure& figure : MeasureJoins(options.binary, root, options.quick)) {
        AddRow(figure.name, figure.value, figure.goal, figure.met);
    }
}

void PrintTable()
{
    size_t width = 0;
    for (const Row& row : rows) {
        width = std::max(width, row.name.size());
    }
    std::printf("\n%-*s  %-14s  %-10s  %s\n", static_cast<int>(width), "measure", "value", "goal",
                "");
    for (const Row& row : rows) {
        std::printf("%-*s  %-14s  %-10s  %s\n", static_cast<int>(width), row.name.c_str(),
                    row.value.c_str(), row.goal.c_str(), row.verdict.c_str());
    }
}

// A session followed while it is written: from the write of each frame to its arrival at
// every viewer, beside ttyplay -p piped into ncat --broker in the same run.
void Live(const Options& options)
{
    std::fprintf(stderr, "live\n");
    const size_t frames = options.quick ? 100 : 300;
    for (const size_t viewers : {size_t{1}, size_t{100}, size_t{1000}}) {
        const std::string at = Format(" %.0f viewer(s)", static_cast<double>(viewers));
        const LiveRun ours = MeasureLive(options.binary, LiveServer::Ombrix, viewers, frames);
        const LiveRun peer = MeasureLive(options.binary, LiveServer::TtyplayPeek, viewers, frames);
        const double goal = viewers >= 1000 ? 20 : 10;
        AddRow("live" + at + ": write to viewer p50", Format("%.3f ms", ours.p50Ms));
        AddRow("live" + at + ": write to viewer p99", Format("%.3f ms", ours.p99Ms),
               Format("< %.0f ms", goal), ours.complete == viewers && ours.p99Ms < goal);
        if (viewers > 1) {
            AddRow("live" + at + ": write to first viewer p50 / p99",
                   Format("%.3f", ours.firstP50Ms) + Format(" / %.3f ms", ours.firstP99Ms));
        }
        AddRow("live" + at + ": complete and byte-exact",
               std::to_string(ours.complete) + " / " + std::to_string(viewers),
               std::to_string(viewers), ours.complete == viewers);
        AddRow("live" + at + ": ttyplay -p | ncat --broker p50", Format("%.3f ms", peer.p50Ms));
        AddRow("live" + at + ": ttyplay -p | ncat --broker p99", Format("%.3f ms", peer.p99Ms));
        AddRow("live" + at + ": ttyplay -p | ncat --broker complete",
               std::to_string(peer.complete) + " / " + std::to_string(viewers));
    }
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            options.quick = true;
        } else if (argument == "--only" && i + 1 < argc) {
            options.only = argv[++i];
        } else if (argument == "--peers" && i + 1 < argc) {
            options.peers = argv[++i];
        } else if (argument == "--sample" && i + 1 < argc) {
            options.sample = argv[++i];
        } else if (options.binary.empty()) {
            options.binary = argument;
        }
    }
    if (options.binary.empty() || ::access(options.binary.c_str(), X_OK) != 0) {
        std::fprintf(
            stderr, "usage: ombrix_bench PATH-TO-OMBRIX [--sample FILE] [--quick] [--only NAME]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    const struct
    {
        const char* name;
        void (*run)(const Options&);
    } benchmarks[] = {{"startup", StartUp},
                      {"timing", Timing},
                      {"drift", Drift},
                      {"catchup", CatchUp},
                      {"catchup-memory", CatchUpMemory},
                      {"fanout", FanOut},
                      {"tenthousand", TenThousand},
                      {"stalled", StalledOutput},
                      {"burst", Burst},
                      {"queued", QueuedMemory},
                      {"peers", Peers},
                      {"web", WebFanOut},
                      {"playlist", PlaylistLoop},
                      {"live", Live},
                      {"handoff", HandoffStall},
                      {"join", Joins}};
    for (const auto& benchmark : benchmarks) {
        if (options.only.empty() || options.only == benchmark.name) {
            benchmark.run(options);
        }
    }
    PrintTable();
    return 0;
}
