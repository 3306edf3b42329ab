// Catch-up reading without sockets: how fast a late viewer's cursor reads the frames the
// player has played, from a raw recording and from a zstd copy of it, in the same run.
// The compressed cursor reads the player's spool; this isolates that from the network.
// Usage: ombrix_cursor_rate [MEGABYTES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Harness.h"
#include "Recordings.h"
#include "playback/FrameSource.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

struct Rates
{
    double playMBps = 0;
    double catchUpMBps = 0;
    size_t frames = 0;
    bool same = true;
};

// Plays every frame through the source (the player's decoding), then reads them all
// again through a catch-up cursor.
Rates Measure(const std::string& path)
{
    Rates rates;
    std::unique_ptr<FrameSource> source = OpenFrameSource(QByteArray::fromStdString(path));
    if (!source) {
        rates.same = false;
        return rates;
    }
    io::FrameHeader header;
    QByteArray body;
    size_t bytes = 0;
    auto start = std::chrono::steady_clock::now();
    while (source->Next(header, body) == io::FrameReadStatus::Frame) {
        bytes += static_cast<size_t>(body.size());
        ++rates.frames;
    }
    rates.playMBps =
        static_cast<double>(bytes) / 1e6 / Seconds(std::chrono::steady_clock::now() - start);
    std::unique_ptr<FrameCursor> cursor = source->NewCatchUpCursor();
    size_t again = 0;
    size_t frames = 0;
    start = std::chrono::steady_clock::now();
    while (frames < rates.frames && cursor->Next(header, body) == io::FrameReadStatus::Frame) {
        again += static_cast<size_t>(body.size());
        ++frames;
    }
    rates.catchUpMBps =
        static_cast<double>(again) / 1e6 / Seconds(std::chrono::steady_clock::now() - start);
    rates.same = again == bytes && frames == rates.frames;
    return rates;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    const bench::Recording recording = bench::CatchUpRecording(megabytes << 20);
    RecordingFolder folder;
    const std::string raw = recording.WriteInto(folder, "catchup.ttyrec");
    const std::string zst = raw + ".zst";
    const std::string gz = raw + ".gz";
    if (std::system(("zstd -q -3 -f -o '" + zst + "' '" + raw + "'").c_str()) != 0 ||
        std::system(("gzip -6 -c '" + raw + "' > '" + gz + "'").c_str()) != 0) {
        return 1;
    }
    std::printf("%-10s %8s %14s %17s %7s\n", "file", "frames", "play MB/s", "catch-up MB/s",
                "same");
    double rawCatchUp = 0;
    for (const std::string& path : {raw, zst, gz}) {
        const Rates rates = Measure(path);
        if (path == raw) {
            rawCatchUp = rates.catchUpMBps;
        }
        std::printf("%-10s %8zu %14.0f %17.0f %7s", path.substr(path.rfind('.')).c_str(),
                    rates.frames, rates.playMBps, rates.catchUpMBps, rates.same ? "yes" : "NO");
        if (path != raw) {
            std::printf("   catch-up ratio to raw %.2f", rates.catchUpMBps / rawCatchUp);
        }
        std::printf("\n");
    }
    return 0;
}
