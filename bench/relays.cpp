// What relays cost and bring, against a real nats-server: the latency one hop adds (leader
// to a relay's viewer), and the same crowd served by one program or spread over a leader
// and two relays. Prints one table.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "Recordings.h"
#include "support/NatsServer.h"

using namespace bench;

namespace {

// The value with `decimals` places, then the unit.
std::string Format(double value, int decimals, const char* unit = "")
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f%s", decimals, value, unit);
    return text;
}

void Row(const std::string& name, const std::string& value)
{
    std::printf("| %-62s | %s |\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

// One program of the channel, headless on a free port; its stderr goes to a file.
std::unique_ptr<OmbrixProcess> Start(const std::string& binary, int port,
                                     const QByteArrayList& arguments)
{
    OmbrixLaunch launch;
    launch.program = QString::fromStdString(binary);
    launch.arguments = QByteArrayList{"--port", QByteArray::number(port)} + arguments;
    launch.errorLog = QStringLiteral("stderr.log");
    launch.outputTail = 1 << 19;
    return std::make_unique<OmbrixProcess>(launch);
}

struct Channel
{
    Channel(const std::string& binary, NatsServer& nats, const std::string& recording, int relays,
            const char* name)
    {
        ports.push_back(FreePort());
        if (relays < 0) {
            programs.push_back(Start(binary, ports[0], {QByteArray::fromStdString(recording)}));
            return;
        }
        programs.push_back(Start(
            binary, ports[0],
            {"--publish", nats.Url(), "--channel", name, QByteArray::fromStdString(recording)}));
        for (int i = 0; i < relays; ++i) {
            ports.push_back(FreePort());
            programs.push_back(
                Start(binary, ports.back(), {"--relay", nats.Url(), "--channel", name}));
        }
    }
    bool Ready()
    {
        for (auto& program : programs) {
            if (!program->WaitForLinePrefix("connection: ", 10000)) {
                return false;
            }
        }
        // Relays show the leader's recording once they have read its start.
        for (size_t i = 1; i < programs.size(); ++i) {
            if (!programs[i]->WaitForLinePrefix("file: paced", 10000)) {
                return false;
            }
        }
        return true;
    }
    double CpuSeconds() const
    {
        double total = 0;
        for (const auto& program : programs) {
            total += ::CpuSeconds(program->Pid());
        }
        return total;
    }
    void DrainAll()
    {
        for (auto& program : programs) {
            program->Drain();
        }
    }
    std::vector<int> ports;
    std::vector<std::unique_ptr<OmbrixProcess>> programs;
};

// The lateness of every frame of every viewer against the recording's schedule, anchored
// at the earliest arrival of frame 1.
std::vector<double> Lateness(ViewerPool& pool, const Recording& recording, int speed)
{
    const size_t frames = recording.bodies.size();
    const std::vector<int64_t> schedule = FrameSchedule(pool, recording, speed);
    std::vector<double> late;
    for (size_t v = 0; v < pool.Size(); ++v) {
        for (size_t i = 1; i < frames; ++i) {
            if (pool.At(v).arrivals[i] > 0) {
                late.push_back(
                    std::fabs(static_cast<double>(pool.At(v).arrivals[i] - schedule[i]) / 1e6));
            }
        }
    }
    return late;
}

// Connects `perProgram` viewers to each program of the channel, sets the speed from the
// first, starts the play with a key and waits for every stream.
bool Play(Channel& channel, ViewerPool& pool, const Stream& stream, size_t perProgram, int speed)
{
    for (size_t p = 0; p < channel.ports.size(); ++p) {
        pool.SetPort(channel.ports[p]);
        if (!pool.ConnectMany(perProgram, 4, stream.frameEnds[0], 300000)) {
            std::fprintf(stderr, "only %zu viewers connected\n", pool.Size());
            return false;
        }
    }
    std::string keys;
    for (int s = 1; s < speed; s *= 2) {
        keys += '+';
    }
    pool.Send(0, keys);
    const std::string line = "speed: " + std::to_string(std::min(speed, 100));
    if (speed > 1 && !pool.RunUntil(
                         [&] {
                             channel.DrainAll();
                             return std::all_of(channel.programs.begin(), channel.programs.end(),
                                                [&](const auto& p) { return p->HasLine(line); });
                         },
                         10000)) {
        std::fprintf(stderr, "the speed did not reach every program\n");
        return false;
    }
    pool.Send(0, "x");
    return pool.RunUntil([&] { return pool.AllReceived(stream.bytes.size()); }, 300000);
}

void OneHop(const std::string& binary, NatsServer& nats)
{
    const Recording recording = EvenRecording(400, 20);
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "paced.ttyrec");
    const Stream stream = ExpectedStream(recording);
    Channel channel(binary, nats, path, 1, "hop");
    if (!channel.Ready()) {
        Row("one hop", "DID NOT START");
        return;
    }
    ViewerPool pool(stream, channel.ports[0], -1, [] {});
    if (!Play(channel, pool, stream, 1, 1)) {
        Row("one hop", "FAILED");
        return;
    }
    std::vector<double> added;
    for (size_t i = 1; i < recording.bodies.size(); ++i) {
        added.push_back(static_cast<double>(pool.At(1).arrivals[i] - pool.At(0).arrivals[i]) / 1e6);
    }
    Row("one hop (leader's viewer to a relay's), 400 frames 20 ms apart: p50",
        Format(Percentile(added, 0.5), 2, " ms"));
    Row("one hop: p99", Format(Percentile(added, 0.99), 2, " ms"));
    Row("one hop: streams byte-exact", pool.AnyMismatch() ? "NO" : "yes");
}

void Crowd(const std::string& binary, NatsServer& nats, size_t viewers, size_t recordingBytes)
{
    const Recording recording = SessionRecording(recordingBytes);
    RecordingFolder folder;
    const std::string path = recording.WriteInto(folder, "paced.ttyrec");
    const Stream stream = ExpectedStream(recording);
    for (int relays : {-1, 2}) {
        const size_t programs = relays < 0 ? 1 : 3;
        const std::string label =
            relays < 0 ? std::to_string(viewers) + " viewers on one program"
                       : std::to_string(viewers / 3) + " viewers on each of a leader and 2 relays";
        Channel channel(binary, nats, path, relays, "crowd");
        if (!channel.Ready()) {
            Row(label, "DID NOT START");
            continue;
        }
        ViewerPool pool(stream, channel.ports[0], -1, [] {});
        const double natsBefore = ::CpuSeconds(nats.Pid());
        const double cpuBefore = channel.CpuSeconds();
        const bool done = Play(channel, pool, stream, viewers / programs, 100);
        const double cpu = channel.CpuSeconds() - cpuBefore;
        const double natsCpu = ::CpuSeconds(nats.Pid()) - natsBefore;
        const double deliveredMB = static_cast<double>(pool.Size()) *
                                   static_cast<double>(stream.bytes.size() - stream.frameEnds[0]) /
                                   1e6;
        const std::vector<double> late = Lateness(pool, recording, 100);
        Row(label + ": p99 |late|", done ? Format(Percentile(late, 0.99), 1, " ms") : "FAILED");
        Row(label + ": CPU s per delivered MB (programs)", Format(cpu / deliveredMB, 5));
        if (relays >= 0) {
            Row(label + ": nats-server CPU s", Format(natsCpu, 2));
        }
        Row(label + ": all streams byte-exact", done && !pool.AnyMismatch() ? "yes" : "NO");
        pool.CloseAll();
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ombrix_relays PROGRAM [--quick]\n");
        return 2;
    }
    RaiseDescriptorLimit();
    const std::string binary = argv[1];
    const bool quick = argc > 2 && std::string(argv[2]) == "--quick";
    if (!NatsServer::Available()) {
        std::fprintf(stderr, "nats-server is not installed\n");
        return 1;
    }
    NatsServer nats;
    if (!nats.Start()) {
        std::fprintf(stderr, "nats-server did not start\n");
        return 1;
    }
    std::printf("| measure | figure |\n|---|---|\n");
    OneHop(binary, nats);
    Crowd(binary, nats, quick ? 300 : 3000, quick ? (256u << 10) : (512u << 10));
    return 0;
}
