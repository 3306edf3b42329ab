#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "WebClient.h"
#include "platform/UniqueFd.h"
#include "playback/io.h"
#include "support/Loopback.h"
#include "support/OmbrixProcess.h"
#include "support/ProcessProbe.h"
#include "support/Ttyrec.h"

// What every benchmark shares: recordings made in memory, the byte stream a viewer must
// see, the real program started headless on a free port, and many loopback viewers read
// on one epoll loop with a timestamp for the moment each frame's last byte arrived. The
// program runner, the connects and the recording writer are the tests' own
// (tests/support).
namespace bench {

// A short text written with a printf format ("%.3f ms"); the compiler checks the arguments
// against the literal at each call.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);

int64_t NowNs();
double Seconds(int64_t ns);
// The system's count of connections dropped at a full listen queue (TcpExt ListenDrops).
long ListenDrops();
// Raises this process's descriptor limit to the hard one; children inherit it.
void RaiseDescriptorLimit();

struct Recording
{
    std::vector<io::FrameTime> times;
    std::vector<std::string> bodies;

    void Add(io::FrameTime time, std::string body);
    // Adds a frame `gapMicros` after the last one.
    void AddAfter(int64_t gapMicros, std::string body);
    QByteArray Bytes() const;
    size_t BodyBytes() const;
    // Writes it into the folder under the name; returns its path.
    std::string WriteInto(RecordingFolder& folder, const char* name) const;
    // The timer interval before frame i (i >= 1) at a speed, by the program's own rule.
    uint32_t DelayMs(size_t i, int speed) const;
    // When frame i (i >= 1) falls due after frame i - 1 on the recording's own clock, in
    // nanoseconds: the exact gap divided by the speed (1 ms for equal or earlier stamps).
    int64_t DueAfterNs(size_t i, int speed) const;
};

// Greeting, then every frame with 0xFF doubled; frameEnds[i] is the offset just past frame i.
struct Stream
{
    std::string bytes;
    size_t greetingEnd = 0;
    std::vector<size_t> frameEnds;
};
Stream ExpectedStream(const Recording& recording);
// What a browser viewer must get: every frame as recorded, no greeting, no escaping.
Stream ExpectedWebStream(const Recording& recording);
// What a plain relay sends: the frames' bodies as recorded, from frame `first` on.
Stream RawStream(const Recording& recording, size_t first);

// The real program, headless, with its own runtime folder; stopped by pid. Only the
// latest status lines are kept, and standard error goes to a file nobody reads, so a long
// run never fills a pipe.
class Server
{
public:
    // webPort 0: no web port. options go before the recording.
    Server(const std::string& binary, const std::string& recording, int port, int webPort = 0,
           const std::vector<std::string>& options = {});

    pid_t Pid() const { return process_.Pid(); }
    int StdoutFd() const { return process_.OutputFd(); }
    int Port() const { return port_; }
    int WebPort() const { return webPort_; }
    // Its runtime folder: a second start given the same one hands its recording over.
    QString RuntimeDir() const { return process_.RuntimeDir(); }
    // Reads whatever the program printed; never blocks.
    void Drain();
    bool HasLine(const std::string& line) const { return process_.HasLine(line); }
    bool HasLinePrefix(const std::string& prefix) const { return process_.HasLinePrefix(prefix); }
    // Waits (reading standard output) for a line starting with the prefix.
    bool WaitForLinePrefix(const std::string& prefix, int timeoutMs);
    int64_t StartNs() const { return startNs_; }
    // When the listening line was first seen; 0 before.
    int64_t ListeningNs() const { return listeningNs_; }
    long RssKb() const { return ResidentKb(Pid()); }
    double CpuSeconds() const { return ::CpuSeconds(Pid()); }
    bool Alive() { return process_.Alive(); }
    int Stop() { return process_.Stop(); }
    // Shrinks the standard-output pipe to one page; the caller then stops reading it.
    void ShrinkOutputPipe() { process_.ShrinkOutputPipe(); }

private:
    void NoteListening();

    int port_ = 0;
    int webPort_ = 0;
    int64_t startNs_ = 0;
    int64_t listeningNs_ = 0;
    OmbrixProcess process_;
};

struct Viewer
{
    UniqueFd fd;
    int64_t connectNs = 0;
    int64_t greetedNs = 0;  // when the greeting was whole; 0 before
    size_t received = 0;
    size_t nextFrame = 0;
    std::vector<int64_t> arrivals;  // per frame, -1 until its last byte arrived
    bool mismatch = false;
    bool closed = false;
    bool web = false;  // a browser viewer: its bytes come in WebSocket frames
    WebFrameReader frames;
};

// Many viewers of one server, all expecting the same stream.
class ViewerPool
{
public:
    // webStream: what browser viewers must get, when there are any.
    ViewerPool(const Stream& stream, Server& server, const Stream* webStream = nullptr);
    // Viewers of any server on the port; `output`, when not -1, is drained by `drain`.
    ViewerPool(const Stream& stream, int port, int output, std::function<void()> drain);
    ~ViewerPool();

    // Starts a non-blocking connect; returns the viewer's index.
    size_t Connect();
    // Connects from now on go to this port: viewers of several programs that serve the same
    // stream (a leader and its relays) in one pool.
    void SetPort(int port) { port_ = port; }
    // Connects `count` more, keeping at most `window` of them waiting for `untilByte`
    // bytes, so the small listen backlog never overflows.
    bool ConnectMany(size_t count, size_t window, size_t untilByte, int timeoutMs);
    // A browser viewer on the web port: connected and upgraded before it returns.
    size_t ConnectWeb();
    // `count` browser viewers, each waiting until it has `untilByte` bytes of its stream.
    bool ConnectManyWeb(size_t count, size_t untilByte, int timeoutMs);
    bool Send(size_t index, const std::string& bytes);
    // Runs the loop until the condition holds or the time is up.
    bool RunUntil(const std::function<bool()>& condition, int timeoutMs);
    bool AllReceived(size_t bytes) const;
    // Every viewer has its whole stream, whichever kind it is.
    bool AllComplete() const;
    // Viewers that have the whole stream.
    size_t Complete() const { return complete_; }
    size_t Greeted() const { return greeted_; }
    Viewer& At(size_t index) { return viewers_[index]; }
    size_t Size() const { return viewers_.size(); }
    bool AnyMismatch() const;
    void CloseAll();
    // From now on the server's standard output is left unread.
    void StopReadingServer();

private:
    // Watches the viewer's socket on the loop; returns its index.
    size_t Add(Viewer viewer);
    void ReadViewer(size_t index);
    void Take(Viewer& viewer, const Stream& stream, const char* data, size_t size, int64_t now);

    const Stream& stream_;
    const Stream* webStream_ = nullptr;
    int port_ = 0;
    int webPort_ = 0;
    int output_ = -1;
    std::function<void()> drain_;
    size_t complete_ = 0;
    size_t greeted_ = 0;
    int epoll_ = -1;
    std::vector<Viewer> viewers_;
    std::vector<char> buffer_;
};

double Percentile(std::vector<double> values, double fraction);

// When each frame of the recording is due at the viewers: the earliest arrival of frame 1
// anchors it, and each later frame follows on the recording's own clock, the exact gaps
// divided by the speed.
std::vector<int64_t> FrameSchedule(ViewerPool& pool, const Recording& recording, int speed);

}  // namespace bench
