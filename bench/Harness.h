#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "playback/io.h"

// What every benchmark shares: recordings made in memory, the byte stream a viewer must
// see, the real program started headless on a free port, and many loopback viewers read
// on one epoll loop with a timestamp for the moment each frame's last byte arrived.
namespace bench {

int64_t NowNs();
double Seconds(int64_t ns);
int FreePort();
// A fresh 0700 folder under the temporary directory.
std::string MakeTempDir(const char* prefix);

struct Recording
{
    std::vector<io::FrameTime> times;
    std::vector<std::string> bodies;

    void Add(io::FrameTime time, std::string body);
    // Adds a frame `gapMicros` after the last one.
    void AddAfter(int64_t gapMicros, std::string body);
    std::string Bytes() const;
    size_t BodyBytes() const;
    bool WriteTo(const std::string& path) const;
    // The timer delay before frame i (i >= 1) at a speed, by the program's own rule.
    uint32_t DelayMs(size_t i, int speed) const;
};

// Greeting, then every frame with 0xFF doubled; frameEnds[i] is the offset just past frame i.
struct Stream
{
    std::string bytes;
    size_t greetingEnd = 0;
    std::vector<size_t> frameEnds;
};
Stream ExpectedStream(const Recording& recording);

// The real program, headless, with its own runtime folder; stopped by pid.
class Server
{
public:
    Server(const std::string& binary, const std::string& recording, int port);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    pid_t Pid() const { return pid_; }
    int StdoutFd() const { return stdoutFd_; }
    int Port() const { return port_; }
    // Reads whatever the program printed; never blocks.
    void Drain();
    bool HasLine(const std::string& line) const;
    bool HasLinePrefix(const std::string& prefix) const;
    // Waits (reading standard output) for a line starting with the prefix.
    bool WaitForLinePrefix(const std::string& prefix, int timeoutMs);
    int64_t StartNs() const { return startNs_; }
    // When the listening line was first seen; 0 before.
    int64_t ListeningNs() const { return listeningNs_; }
    long RssKb() const;
    double CpuSeconds() const;
    int FdCount() const;
    bool Alive();
    int Stop();
    // Shrinks the standard-output pipe to one page; the caller then stops reading it.
    void ShrinkOutputPipe();

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    int port_ = 0;
    int64_t startNs_ = 0;
    int64_t listeningNs_ = 0;
    std::string runtimeDir_;
    std::string out_;
};

struct Viewer
{
    int fd = -1;
    size_t received = 0;
    size_t nextFrame = 0;
    std::vector<int64_t> arrivals;  // per frame, -1 until its last byte arrived
    bool mismatch = false;
    bool closed = false;
};

// Many viewers of one server, all expecting the same stream.
class ViewerPool
{
public:
    ViewerPool(const Stream& stream, Server& server);
    ~ViewerPool();

    // Starts a non-blocking connect; returns the viewer's index.
    size_t Connect();
    // Connects `count` more, keeping at most `window` of them waiting for `untilByte`
    // bytes, so the small listen backlog never overflows.
    bool ConnectMany(size_t count, size_t window, size_t untilByte, int timeoutMs);
    bool Send(size_t index, const std::string& bytes);
    // Runs the loop until the condition holds or the time is up.
    bool RunUntil(const std::function<bool()>& condition, int timeoutMs);
    bool AllReceived(size_t bytes) const;
    Viewer& At(size_t index) { return viewers_[index]; }
    size_t Size() const { return viewers_.size(); }
    bool AnyMismatch() const;
    void CloseAll();
    // From now on the server's standard output is left unread.
    void StopReadingServer();

private:
    void ReadViewer(size_t index);

    const Stream& stream_;
    Server& server_;
    int epoll_ = -1;
    std::vector<Viewer> viewers_;
    std::vector<char> buffer_;
};

double Percentile(std::vector<double> values, double fraction);

}  // namespace bench
