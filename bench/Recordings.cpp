#include "Recordings.h"

#include <array>
#include <string>

namespace bench {

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kLeadInGapMicros = 999 * 1000 * kMs;

// A small fixed generator, so every run plays the same recordings.
class Random
{
public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t Next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    int64_t Between(int64_t low, int64_t high)
    {
        return low + static_cast<int64_t>(Next() % static_cast<uint64_t>(high - low + 1));
    }

private:
    uint64_t state_;
};

// Terminal text: words, colour changes, line ends, and now and then a 0xFF byte (which
// telnet must double).
std::string Text(Random& random, size_t length)
{
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789 ./-_";
    std::string text;
    text.reserve(length + 16);
    while (text.size() < length) {
        const uint64_t pick = random.Next() % 100;
        if (pick < 3) {
            text += "\x1b[3" + std::to_string(random.Between(0, 7)) + "m";
        } else if (pick < 8) {
            text += "\r\n";
        } else if (pick == 8) {
            text.push_back('\xff');
        } else {
            text.push_back(kLetters[random.Next() % (sizeof kLetters - 1)]);
        }
    }
    text.resize(length);
    return text;
}

void AddLeadIn(Recording& recording)
{
    recording.Add(io::FrameTime{1000, 0}, "\x1b[H\x1b[2J");
    recording.AddAfter(kLeadInGapMicros, "$ ");
}

}  // namespace

Recording TimingRecording(size_t measuredFrames)
{
    static constexpr std::array<int, 14> kGapsMs{5,  7,   10,  15,  20,  33,  50,
                                                 75, 100, 150, 250, 400, 600, 900};
    Random random(9);
    Recording recording;
    AddLeadIn(recording);
    for (size_t i = 0; i < measuredFrames; ++i) {
        const int gap = kGapsMs[random.Next() % kGapsMs.size()];
        recording.AddAfter(gap * kMs, Text(random, static_cast<size_t>(random.Between(1, 300))));
    }
    return recording;
}

Recording EvenRecording(size_t measuredFrames, int gapMs)
{
    Random random(10);
    Recording recording;
    AddLeadIn(recording);
    for (size_t i = 0; i < measuredFrames; ++i) {
        recording.AddAfter(gapMs * kMs, Text(random, static_cast<size_t>(random.Between(1, 80))));
    }
    return recording;
}

Recording SessionRecording(size_t targetBytes)
{
    Random random(11);
    Recording recording;
    AddLeadIn(recording);
    while (recording.BodyBytes() < targetBytes) {
        const int64_t keys = random.Between(3, 20);
        for (int64_t k = 0; k < keys; ++k) {
            recording.AddAfter(random.Between(60, 250) * kMs, Text(random, 1));
        }
        recording.AddAfter(random.Between(100, 400) * kMs, "\r\n");
        const int64_t bursts = random.Between(1, 40);
        for (int64_t b = 0; b < bursts; ++b) {
            recording.AddAfter(random.Between(1, 30) * kMs,
                               Text(random, static_cast<size_t>(random.Between(50, 1500))));
        }
        if (random.Next() % 6 == 0) {
            recording.AddAfter(
                random.Between(5, 50) * kMs,
                "\x1b[H\x1b[2J" + Text(random, static_cast<size_t>(random.Between(2000, 6000))));
        }
        recording.AddAfter(random.Between(500, 5000) * kMs, "$ ");
    }
    return recording;
}

// Frames a microsecond apart play in one burst on the timer; the last two wait 500 s each,
// so the playback stands two frames before the end without a driver's keys, which a
// viewer may send only at a person's pace.
Recording CatchUpRecording(size_t targetBytes)
{
    Random random(12);
    std::vector<std::string> bodies;
    size_t bytes = 0;
    while (bytes < targetBytes) {
        bodies.push_back(Text(random, static_cast<size_t>(random.Between(16, 2048))));
        bytes += bodies.back().size();
    }
    Recording recording;
    for (size_t i = 0; i < bodies.size(); ++i) {
        recording.AddAfter(i + 2 >= bodies.size() ? 500 * 1000 * kMs : 1, std::move(bodies[i]));
    }
    return recording;
}

}  // namespace bench
