// The screen model alone: what feeding it costs per MB of recorded output, whether its
// memory stays put, and the size of a repaint and the time to build it.
// Usage: ombrix_screen_rate [RECORDINGS_FOLDER]  (default: tests/recordings of the tree)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <vterm.h>

#include "server/screen/ScreenModel.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The frames of a plain ttyrec file.
std::vector<QByteArray> ReadTtyrec(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<QByteArray> frames;
    unsigned char header[12];
    while (file.read(reinterpret_cast<char*>(header), sizeof header)) {
        const uint32_t length = header[8] | (header[9] << 8) | (header[10] << 16) |
                                (static_cast<uint32_t>(header[11]) << 24);
        QByteArray body(static_cast<qsizetype>(length), '\0');
        if (!file.read(body.data(), body.size())) {
            break;
        }
        frames.push_back(body);
    }
    return frames;
}

long RssKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Feeds the frames over and over until `megabytes` have gone in; prints the rate.
void FeedRate(const char* name, const std::vector<QByteArray>& frames, size_t megabytes)
{
    ScreenModel model;
    size_t bytes = 0;
    const size_t target = megabytes << 20;
    const long rssBefore = RssKb();
    long rssAfterFirst = 0;
    const Clock::time_point start = Clock::now();
    while (bytes < target) {
        for (const QByteArray& frame : frames) {
            model.Feed(frame);
            bytes += static_cast<size_t>(frame.size());
        }
        if (rssAfterFirst == 0) {
            rssAfterFirst = RssKb();
        }
    }
    const double seconds = Seconds(Clock::now() - start);
    std::printf(
        "%-34s %6zu MB %9.1f MB/s %8.2f ms/MB   RSS +%ld KB after one pass, +%ld KB at the end\n",
        name, bytes >> 20, static_cast<double>(bytes) / 1048576.0 / seconds,
        seconds * 1000.0 / (static_cast<double>(bytes) / 1048576.0), rssAfterFirst - rssBefore,
        RssKb() - rssBefore);
}

// The same bytes through libvterm alone (a screen, no callbacks): what placing the
// characters costs, beside which the model's own work shows.
void LibvtermRate(const char* name, const std::vector<QByteArray>& frames, size_t megabytes)
{
    VTerm* vterm = vterm_new(24, 80);
    vterm_set_utf8(vterm, 1);
    VTermScreen* screen = vterm_obtain_screen(vterm);
    vterm_screen_enable_altscreen(screen, 1);
    vterm_screen_reset(screen, 1);
    size_t bytes = 0;
    const size_t target = megabytes << 20;
    const Clock::time_point start = Clock::now();
    while (bytes < target) {
        for (const QByteArray& frame : frames) {
            vterm_input_write(vterm, frame.constData(), static_cast<size_t>(frame.size()));
            bytes += static_cast<size_t>(frame.size());
        }
    }
    const double seconds = Seconds(Clock::now() - start);
    std::printf("%-34s %6zu MB %9.1f MB/s %8.2f ms/MB\n", name, bytes >> 20,
                static_cast<double>(bytes) / 1048576.0 / seconds,
                seconds * 1000.0 / (static_cast<double>(bytes) / 1048576.0));
    vterm_free(vterm);
}

// Builds the repaint many times over (each Feed of nothing drops the kept one); prints
// its size and the median build time.
void RepaintCost(const char* name, ScreenModel& model)
{
    std::vector<double> times;
    QByteArray repaint;
    for (int i = 0; i < 21; ++i) {
        model.Feed(QByteArrayView());
        const Clock::time_point start = Clock::now();
        repaint = model.Repaint();
        times.push_back(Seconds(Clock::now() - start) * 1000.0);
    }
    std::sort(times.begin(), times.end());
    std::printf("%-34s %4dx%-4d %9lld bytes %9.3f ms   exact: %s\n", name, model.Cols(),
                model.Rows(), static_cast<long long>(repaint.size()), times[times.size() / 2],
                model.CanRepaint() ? "yes" : qPrintable(model.CannotRepaintReason()));
}

// Every cell its own 24-bit colours and attributes: the most a repaint can need.
QByteArray Confetti(int cols, int rows, unsigned seed)
{
    std::mt19937 random(seed);
    QByteArray bytes = "\x1b[H";
    for (int cell = 0; cell < cols * rows; ++cell) {
        bytes += "\x1b[0;" + QByteArray::number(random() % 10) + ";38;2;" +
                 QByteArray::number(random() % 256) + ';' + QByteArray::number(random() % 256) +
                 ";1;48;2;" + QByteArray::number(random() % 256) + ";2;3m" +
                 static_cast<char>('!' + random() % 90);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string folder = argc > 1 ? argv[1] : OMBRIX_ROOT "/tests/recordings";
    const std::vector<QByteArray> vim = ReadTtyrec(folder + "/vim.ttyrec");
    const std::vector<QByteArray> colours = ReadTtyrec(folder + "/colours.ttyrec");
    if (vim.empty() || colours.empty()) {
        std::fprintf(stderr, "no recordings in %s\n", folder.c_str());
        return 1;
    }
    std::vector<QByteArray> both = vim;
    both.insert(both.end(), colours.begin(), colours.end());

    std::printf("feeding (frame by frame, the recordings repeated)\n");
    FeedRate("vim + colours", both, 10);
    FeedRate("vim + colours", both, 100);
    FeedRate("colours only", colours, 10);
    LibvtermRate("vim + colours, libvterm alone", both, 100);

    std::printf("\nrepaint (median of 21 builds)\n");
    ScreenModel model;
    for (const QByteArray& frame : vim) {
        model.Feed(frame);
        if (frame.contains("\x1b[?1049l")) {
            break;  // vim has just left: its screen is gone, the shell's is back
        }
    }
    ScreenModel editing;
    for (size_t i = 0; i < vim.size() / 2; ++i) {
        editing.Feed(vim[i]);
    }
    RepaintCost("vim editing (alternate + primary)", editing);
    RepaintCost("shell after vim", model);
    ScreenModel colourTest;
    for (const QByteArray& frame : colours) {
        colourTest.Feed(frame);
    }
    RepaintCost("colour test", colourTest);
    ScreenModel confetti;
    confetti.Feed(Confetti(80, 24, 1));
    RepaintCost("every cell its own colours", confetti);
    ScreenModel large(300, 100);
    for (int i = 0; i < 6; ++i) {
        for (const QByteArray& frame : colours) {
            large.Feed(frame);
        }
    }
    RepaintCost("colour test, large terminal", large);
    ScreenModel largest(1000, 1000);
    largest.Feed(Confetti(1000, 1000, 2));
    RepaintCost("every cell its own colours", largest);
    return 0;
}
