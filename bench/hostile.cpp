// What hostile network peers cost the real program: pages that ping and never read, key
// floods from telnet and pages, clients that exhaust the descriptors or never read the
// page's files. Prints one line per figure; run it against two builds to compare them.
// Usage: ombrix_hostile PATH-TO-OMBRIX [--only ping|controls|burst|flood|descriptors|files]
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Harness.h"

using namespace bench;

namespace {

std::string binary;

void Report(const std::string& name, const std::string& value)
{
    std::printf("%-70s %s\n", name.c_str(), value.c_str());
    std::fflush(stdout);
}

ssize_t SendSome(int fd, const std::string& bytes)
{
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// The same chunk over and over, as fast as the connection takes it, never cut.
struct Flooder
{
    UniqueFd fd;
    std::string chunk;
    std::string left;
    size_t sent = 0;

    void Flood()
    {
        if (left.empty()) {
            left = chunk;
        }
        const ssize_t n = SendSome(fd.Get(), left);
        if (n > 0) {
            left.erase(0, static_cast<size_t>(n));
            sent += static_cast<size_t>(n);
        }
    }
};

std::string UpgradeRequest()
{
    return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
           "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";
}

// One masked message from a page (a mask of zeros): binary, or a ping.
std::string PageFrame(int opcode, const std::string& payload)
{
    std::string frame(1, static_cast<char>(0x80 | opcode));
    if (payload.size() < 126) {
        frame += static_cast<char>(0x80 | payload.size());
    } else {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size() & 0xff);
    }
    return frame + std::string(4, '\0') + payload;
}

std::string Repeat(const std::string& unit, size_t bytes)
{
    std::string out;
    while (out.size() < bytes) {
        out += unit;
    }
    return out;
}

struct Program
{
    QTemporaryDir runtime;
    RecordingFolder folder;
    int port = FreePort();
    int webPort = FreePort();
    std::unique_ptr<OmbrixProcess> process;

    // recording: frames to write and open, none for no recording; wrapper: a program to
    // run the binary through (a lowered descriptor limit).
    bool Start(const Recording* recording, const QString& wrapper = QString())
    {
        OmbrixLaunch launch;
        launch.arguments = {"--port", QByteArray::number(port), "--web-port",
                            QByteArray::number(webPort)};
        if (recording != nullptr) {
            launch.arguments.append(
                QByteArray::fromStdString(recording->WriteInto(folder, "steady.ttyrec")));
        }
        launch.runtimeDir = runtime.path();
        launch.program = wrapper.isEmpty() ? QString::fromStdString(binary) : wrapper;
        launch.errorLog = QStringLiteral("errors");
        launch.outputTail = 1 << 16;
        process = std::make_unique<OmbrixProcess>(launch);
        return process->WaitForLinePrefix("web: ", 10000) && WaitForListening(webPort, 5000);
    }
    long RssKb() const { return ResidentKb(process->Pid()); }
};

// Sleeps, reading standard output meanwhile unless told not to.
void Wait(Program& program, int ms, bool readOutput = true)
{
    const int64_t end = NowNs() + int64_t{ms} * 1000000;
    while (NowNs() < end) {
        if (readOutput) {
            program.process->Drain();
        }
        ::usleep(5000);
    }
}

// A frame every 100 ms for ten minutes: "frame N\r\n".
Recording SteadyRecording()
{
    Recording recording;
    for (int i = 0; i < 6000; ++i) {
        recording.AddAfter(i == 0 ? 0 : 100000, "frame " + std::to_string(i) + "\r\n");
    }
    return recording;
}

// Reads a watcher's socket, noting when each "frame N" arrives.
struct Watcher
{
    UniqueFd fd;
    std::string received;
    std::vector<std::pair<int, int64_t>> arrivals;  // frame number, when

    void Read()
    {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::recv(fd.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0) {
                return;
            }
            received.append(buffer, static_cast<size_t>(got));
            size_t at = 0;
            while ((at = received.find("frame ")) != std::string::npos) {
                const size_t end = received.find("\r\n", at);
                if (end == std::string::npos) {
                    break;
                }
                arrivals.emplace_back(std::stoi(received.substr(at + 6, end - at - 6)), NowNs());
                received.erase(0, end + 2);
            }
        }
    }
    // The largest delay of a frame behind the one before it plus the recorded 100 ms: how
    // much later than even speed 1 would have it a frame came, between `since` and `until`
    // (a frame still missing at `until` counts as arriving then).
    double WorstStallMs(int64_t since, int64_t until) const
    {
        double worst = 0;
        int64_t previous = since;
        for (const auto& [frame, when] : arrivals) {
            if (when >= since) {
                worst = std::max(worst, static_cast<double>(when - previous) / 1e6 - 100.0);
            }
            previous = std::max(previous, when);
        }
        return std::max(worst, static_cast<double>(until - previous) / 1e6 - 100.0);
    }
    size_t ArrivedSince(int64_t since) const
    {
        return static_cast<size_t>(
            std::count_if(arrivals.begin(), arrivals.end(),
                          [since](const auto& a) { return a.second >= since; }));
    }
};

// Pages that ping as fast as they can and never read: what the program holds, and whether
// it lets them go. Once with no recording, once in an hour-long recorded pause.
void Ping()
{
    for (const bool paused : {false, true}) {
        Recording pause;
        pause.AddAfter(0, "start\r\n");
        pause.AddAfter(3600LL * 1000000, "an hour later\r\n");
        Program program;
        if (!program.Start(paused ? &pause : nullptr)) {
            Report("ping: the program did not start", "");
            return;
        }
        UniqueFd telnet;
        if (paused) {
            telnet = ConnectLoopback(program.port);  // starts the playback
        }
        UniqueFd page = NewLoopbackSocket({4096, false, nullptr});
        StartConnect(page.Get(), program.webPort);
        ConnectOutcome(page.Get(), 2000);
        SendSome(page.Get(), UpgradeRequest());
        Wait(program, 200);
        const long before = program.RssKb();
        Flooder pinger{std::move(page), Repeat(PageFrame(9, std::string(125, 'p')), 64 * 1024), {}};
        long peak = before;
        double closedAfter = -1;
        const int64_t start = NowNs();
        while (NowNs() - start < 20 * 1000000000LL) {
            for (int i = 0; i < 16; ++i) {
                pinger.Flood();
            }
            pollfd state{pinger.fd.Get(), POLLRDHUP, 0};
            if (closedAfter < 0 && ::poll(&state, 1, 0) > 0 &&
                (state.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
                closedAfter = Seconds(NowNs() - start);
            }
            peak = std::max(peak, program.RssKb());
            program.process->Drain();
        }
        const std::string label =
            paused ? "ping flood in a recorded pause" : "ping flood, no recording";
        Report(label + ": peak RSS growth in 20 s",
               Format("%.1f MB", static_cast<double>(peak - before) / 1024.0));
        Report(label + ": RSS growth at the end",
               Format("%.1f MB", static_cast<double>(program.RssKb() - before) / 1024.0));
        Report(label + ": page closed after",
               closedAfter < 0 ? "never" : Format("%.2f s", closedAfter));
        program.process->Stop();
    }
}

// A page that never reads while another page sends speed keys: what the first one holds.
void Controls()
{
    Program program;
    if (!program.Start(nullptr)) {
        return;
    }
    UniqueFd stalled = NewLoopbackSocket({4096, false, nullptr});
    StartConnect(stalled.Get(), program.webPort);
    ConnectOutcome(stalled.Get(), 2000);
    SendSome(stalled.Get(), UpgradeRequest());
    UniqueFd keys = ConnectLoopback(program.webPort);
    SendSome(keys.Get(), UpgradeRequest());
    Wait(program, 300);
    const long before = program.RssKb();
    const std::string message = PageFrame(2, Repeat("+-", 60000));
    constexpr int kMessages = 40;
    for (int i = 0; i < kMessages; ++i) {
        size_t sent = 0;
        while (sent < message.size()) {
            const ssize_t n = ::send(keys.Get(), message.data() + sent, message.size() - sent,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            }
            program.process->Drain();
        }
        Wait(program, 50);
    }
    Wait(program, 1000);
    Report("speed keys from a page, a stalled page: RSS growth per 60 KB message",
           Format("%.3f MB", static_cast<double>(program.RssKb() - before) / 1024.0 / kMessages));
    program.process->Stop();
}

// One burst of speed keys from a telnet viewer while a steady recording plays: how long
// the frames stop for a watcher, with standard output read and with it stalled.
void Burst()
{
    for (const size_t size : {size_t{64} * 1024, size_t{512} * 1024}) {
        for (const bool readOutput : {true, false}) {
            const Recording recording = SteadyRecording();
            Program program;
            if (!program.Start(&recording)) {
                return;
            }
            if (!readOutput) {
                program.process->ShrinkOutputPipe();
                program.process->LeaveOutputUnread();
            }
            Watcher watcher{ConnectLoopback(program.port), {}, {}};
            UniqueFd keys = ConnectLoopback(program.port);
            const int64_t settle = NowNs() + 1500000000LL;
            while (NowNs() < settle) {
                watcher.Read();
                ::usleep(1000);
            }
            // Until the whole burst is sent and frames have flowed again for two seconds
            // (a minute at most), so the whole of a stall is seen.
            const int64_t burstAt = NowNs();
            std::string burst = Repeat("+-", size);
            size_t sent = 0;
            int64_t sentAt = 0;
            const auto settled = [&] {
                return sentAt != 0 && NowNs() - sentAt > 2000000000LL &&
                       !watcher.arrivals.empty() &&
                       NowNs() - watcher.arrivals.back().second < 200000000LL &&
                       watcher.arrivals.back().second - sentAt > 2000000000LL;
            };
            while (!settled() && NowNs() - burstAt < 60000000000LL) {
                if (sent < burst.size()) {
                    const ssize_t n = ::send(keys.Get(), burst.data() + sent, burst.size() - sent,
                                             MSG_NOSIGNAL | MSG_DONTWAIT);
                    sent += n > 0 ? static_cast<size_t>(n) : 0;
                    sentAt = sent == burst.size() ? NowNs() : 0;
                }
                watcher.Read();
                char drop[4096];
                while (::recv(keys.Get(), drop, sizeof drop, MSG_DONTWAIT) > 0) {
                }
                if (readOutput) {
                    program.process->Drain();
                }
                ::usleep(1000);
            }
            Report("burst of " + std::to_string(size / 1024) + " KiB of +- from telnet, stdout " +
                       (readOutput ? "read" : "stalled") + ": worst stall of a watcher's frames",
                   Format("%.0f ms", watcher.WorstStallMs(burstAt, NowNs())));
            program.process->Stop();
        }
    }
}

// A sustained flood from one telnet viewer and one page: the frames a watcher gets, how
// late, and how soon SIGTERM ends the program afterwards.
void Flood()
{
    const Recording recording = SteadyRecording();
    Program program;
    if (!program.Start(&recording)) {
        return;
    }
    Watcher watcher{ConnectLoopback(program.port), {}, {}};
    Flooder telnet{ConnectLoopback(program.port), Repeat("1+", 64 * 1024), {}};
    UniqueFd pageFd = ConnectLoopback(program.webPort);
    SendSome(pageFd.Get(), UpgradeRequest());
    Flooder page{std::move(pageFd), PageFrame(2, Repeat("1+", 60000)), {}};
    const int64_t warm = NowNs() + 1000000000LL;
    while (NowNs() < warm) {
        watcher.Read();
        program.process->Drain();
        ::usleep(1000);
    }
    const int64_t start = NowNs();
    while (NowNs() - start < 15000000000LL) {
        telnet.Flood();
        page.Flood();
        char drop[4096];
        while (::recv(telnet.fd.Get(), drop, sizeof drop, MSG_DONTWAIT) > 0) {
        }
        watcher.Read();
        program.process->Drain();
        pollfd wait{watcher.fd.Get(), POLLIN, 0};
        ::poll(&wait, 1, 1);
    }
    Report("flood of 15 s (telnet + page, \"1+\"): MB of keys sent",
           Format("%.1f", static_cast<double>(telnet.sent + page.sent) / 1e6));
    Report("flood of 15 s: frames the watcher got (150 due at speed 1, 300 at speed 2)",
           std::to_string(watcher.ArrivedSince(start)));
    Report("flood of 15 s: worst lateness behind speed 1 of the watcher's frames",
           Format("%.1f ms", watcher.WorstStallMs(start, NowNs())));
    telnet.fd.Close();
    page.fd.Close();
    const int64_t term = NowNs();
    program.process->Signal(SIGTERM);
    const int status = program.process->WaitForExit(60000);
    Report("flood of 15 s: SIGTERM to exit",
           status == 0 ? Format("%.3f s", Seconds(NowNs() - term)) : "not within 60 s");
}

// Half-sent requests from five addresses until the program has no descriptor left.
void Descriptors()
{
    QTemporaryDir dir;
    Program program;
    if (!program.Start(nullptr, WriteDescriptorLimitedLauncher(
                                    dir.path(), QString::fromStdString(binary), 128))) {
        return;
    }
    std::vector<UniqueFd> holders;
    for (int i = 0; i < 200; ++i) {
        const std::string from = "127.0.0." + std::to_string(2 + i / 40);
        holders.push_back(NewLoopbackSocket({0, false, from.c_str()}));
        StartConnect(holders.back().Get(), program.webPort);
    }
    Wait(program, 300);
    for (const UniqueFd& holder : holders) {
        SendSome(holder.Get(), "GET / HTTP/1.1\r\n");
    }
    Wait(program, 500);
    const double cpu = CpuSeconds(program.process->Pid());
    Wait(program, 3000);
    Report("200 half-sent requests, 128 descriptors: program CPU s in 3 s",
           Format("%.2f", CpuSeconds(program.process->Pid()) - cpu));
    size_t closed = 0;
    for (const UniqueFd& holder : holders) {
        char byte = 0;
        const ssize_t got = ::recv(holder.Get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        closed += got == 0 || (got < 0 && errno != EAGAIN) || byte == 'H' ? 1 : 0;
    }
    Report("200 half-sent requests, 128 descriptors: closed or answered within 3.8 s",
           std::to_string(closed));
    const int64_t asked = NowNs();
    UniqueFd page = ConnectLoopback(program.webPort, {}, 5000);
    std::string answer;
    bool refused = false;
    SendSome(page.Get(), "GET /page.css HTTP/1.1\r\n\r\n");
    while (answer.find("\r\n\r\n") == std::string::npos && !refused &&
           NowNs() - asked < 5000000000LL) {
        char buffer[4096];
        const ssize_t got = ::recv(page.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            answer.append(buffer, static_cast<size_t>(got));
        }
        refused = got == 0 || (got < 0 && errno != EAGAIN);
        ::usleep(2000);
    }
    const std::string after = Format(" after %.0f ms", Seconds(NowNs() - asked) * 1000);
    Report("meanwhile, GET /page.css from a sixth address",
           !answer.empty() ? answer.substr(0, 12) + after
                           : (refused ? "refused (closed)" + after : "no answer within 5 s"));
    program.process->Stop();
}

// Clients that ask for the terminal's script (about 490 KB) and never read it.
void Files()
{
    Program program;
    if (!program.Start(nullptr)) {
        return;
    }
    const long before = program.RssKb();
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 2000; ++i) {
        const std::string from = "127.0.1." + std::to_string(1 + i / 50);
        clients.push_back(NewLoopbackSocket({4096, false, from.c_str()}));
        StartConnect(clients.back().Get(), program.webPort);
        if (i % 100 == 99) {
            Wait(program, 20);
        }
    }
    Wait(program, 500);
    for (const UniqueFd& client : clients) {
        SendSome(client.Get(), "GET /xterm.js HTTP/1.1\r\n\r\n");
    }
    Wait(program, 3000);
    size_t answered = 0;
    size_t refused = 0;
    for (const UniqueFd& client : clients) {
        char head[12] = {};
        if (::recv(client.Get(), head, sizeof head, MSG_DONTWAIT | MSG_PEEK) == sizeof head) {
            answered += std::memcmp(head, "HTTP/1.1 200", 12) == 0 ? 1 : 0;
            refused += std::memcmp(head, "HTTP/1.1 503", 12) == 0 ? 1 : 0;
        }
    }
    Report("2000 clients that never read /xterm.js: RSS growth",
           Format("%.1f MB", static_cast<double>(program.RssKb() - before) / 1024.0));
    Report("2000 clients that never read /xterm.js: answered 200 / refused 503",
           std::to_string(answered) + " / " + std::to_string(refused));
    program.process->Stop();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            binary = argument;
        }
    }
    if (binary.empty() || ::access(binary.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "usage: ombrix_hostile PATH-TO-OMBRIX [--only NAME]\n");
        return 2;
    }
    RaiseDescriptorLimit();
    ::signal(SIGPIPE, SIG_IGN);
    const std::pair<const char*, std::function<void()>> measures[] = {
        {"ping", Ping},   {"controls", Controls},       {"burst", Burst},
        {"flood", Flood}, {"descriptors", Descriptors}, {"files", Files},
    };
    for (const auto& [name, measure] : measures) {
        if (only.empty() || only == name) {
            measure();
        }
    }
    return 0;
}
