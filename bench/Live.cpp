#include "Live.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "Harness.h"
#include "Peers.h"

namespace bench {

namespace {

// Frames stamped with the time they are written, as a recorder stamps them: a peer that
// paces by the stamps waits exactly the gaps the writer kept.
Recording LiveRecording(size_t frames)
{
    Recording recording;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    recording.Add({static_cast<int32_t>(now.tv_sec), static_cast<int32_t>(now.tv_usec)},
                  "lead-in\r\n");
    for (size_t i = 1; i <= frames; ++i) {
        // A shell's echo and a prompt: what a typed command brings.
        recording.AddAfter(
            20000, "$ echo line " + std::to_string(i) + "\r\nline " + std::to_string(i) + "\r\n$ ");
    }
    return recording;
}

std::string FrameBytes(const Recording& recording, size_t i)
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    QByteArray bytes;
    const std::string& body = recording.bodies[i];
    AppendTtyrecFrame(bytes, static_cast<int32_t>(now.tv_sec), static_cast<int32_t>(now.tv_usec),
                      QByteArrayView(body.data(), static_cast<qsizetype>(body.size())));
    return bytes.toStdString();
}

bool WriteAll(int fd, const std::string& bytes)
{
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

LiveRun MeasureLive(const std::string& binary, LiveServer kind, size_t viewers, size_t frames)
{
    const Recording recording = LiveRecording(frames);
    RecordingFolder folder;
    const std::string path = folder.FilePath(QStringLiteral("live.ttyrec")).toStdString();
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    WriteAll(file.Get(), FrameBytes(recording, 0));

    // Ombrix sends the lead-in as the catch-up; ttyplay -p starts at the file's end.
    const bool ours = kind == LiveServer::Ombrix;
    const Stream stream = ours ? ExpectedStream(recording) : RawStream(recording, 1);
    const size_t firstMeasured = ours ? 1 : 0;  // the stream's index of frame 1
    const int port = FreePort();
    std::unique_ptr<Server> server;
    std::unique_ptr<ViewerPool> pool;
    pid_t relay = -1;
    pid_t peek = -1;
    if (ours) {
        server =
            std::make_unique<Server>(binary, path, port, 0, std::vector<std::string>{"--follow"});
        server->WaitForLinePrefix("connection: ", 10000);
        pool = std::make_unique<ViewerPool>(stream, *server);
        pool->ConnectMany(viewers, 32, stream.frameEnds[0], 60000);
    } else {
        int pipe[2] = {-1, -1};
        ::pipe2(pipe, O_CLOEXEC);
        relay = Spawn(
            {"ncat", "--broker", "--max-conns", "20000", "-l", "127.0.0.1", std::to_string(port)},
            pipe[0], -1);
        ::close(pipe[0]);
        WaitForListening(port, 10000);
        pool = std::make_unique<ViewerPool>(stream, port, -1, std::function<void()>{});
        for (size_t i = 0; i < viewers; ++i) {
            pool->Connect();
        }
        // The relay drops what it gets before a client is accepted: let them all in, and
        // the reader reach the file's end, before anything is written.
        pool->RunUntil([] { return false; }, 2000);
        peek = Spawn({"ttyplay", "-p", path}, -1, pipe[1]);
        ::close(pipe[1]);
        pool->RunUntil([] { return false; }, 1000);
    }

    std::mt19937 random(21089);
    std::uniform_int_distribution<int> gapMs(10, 30);
    std::vector<int64_t> writtenNs(recording.bodies.size(), 0);
    for (size_t i = 1; i < recording.bodies.size(); ++i) {
        const std::string bytes = FrameBytes(recording, i);
        writtenNs[i] = NowNs();
        WriteAll(file.Get(), bytes);
        pool->RunUntil([] { return false; }, gapMs(random));
    }
    pool->RunUntil([&] { return pool->Complete() == pool->Size(); }, 10000);

    LiveRun run;
    std::vector<double> latencies;
    std::vector<int64_t> firstNs(stream.frameEnds.size(), INT64_MAX);
    for (size_t v = 0; v < pool->Size(); ++v) {
        const Viewer& viewer = pool->At(v);
        const bool given = ours ? viewer.arrivals[0] > 0 : viewer.received > 0;
        run.viewers += given ? 1 : 0;
        run.complete += viewer.received == stream.bytes.size() && !viewer.mismatch ? 1 : 0;
        for (size_t i = firstMeasured; i < viewer.arrivals.size(); ++i) {
            if (viewer.arrivals[i] > 0) {
                const size_t frame = i - firstMeasured + 1;
                latencies.push_back(static_cast<double>(viewer.arrivals[i] - writtenNs[frame]) /
                                    1e6);
                firstNs[i] = std::min(firstNs[i], viewer.arrivals[i] - writtenNs[frame]);
            }
        }
    }
    std::vector<double> firsts;
    for (size_t i = firstMeasured; i < firstNs.size(); ++i) {
        if (firstNs[i] != INT64_MAX) {
            firsts.push_back(static_cast<double>(firstNs[i]) / 1e6);
        }
    }
    run.firstP50Ms = Percentile(firsts, 0.5);
    run.firstP99Ms = Percentile(firsts, 0.99);
    run.p50Ms = Percentile(latencies, 0.5);
    run.p99Ms = Percentile(latencies, 0.99);
    pool->CloseAll();
    if (ours) {
        server->Stop();
    } else {
        StopForCpu(peek);
        StopForCpu(relay);
    }
    return run;
}

}  // namespace bench
