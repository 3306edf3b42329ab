#include "Harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

namespace {
const char kGreeting[] = "\xff\xfb\x01\xff\xfb\x03\xff\xfd\xf3";

void PutLittleEndian32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}
}  // namespace

int64_t NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

double Seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

int FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

double CpuSecondsOf(pid_t pid)
{
    std::ifstream statFile("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold blanks.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::strtod(field.c_str(), nullptr);
        }
        if (index == 15) {
            break;
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ListenDrops()
{
    std::ifstream netstat("/proc/net/netstat");
    std::string names;
    std::string values;
    while (std::getline(netstat, names) && std::getline(netstat, values)) {
        if (names.rfind("TcpExt:", 0) != 0) {
            continue;
        }
        std::istringstream n(names);
        std::istringstream v(values);
        std::string name;
        std::string value;
        while (n >> name && v >> value) {
            if (name == "ListenDrops") {
                return std::strtol(value.c_str(), nullptr, 10);
            }
        }
    }
    return -1;
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string MakeTempDir(const char* prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return buffer.data();
}

// --- Recording --------------------------------------------------------------------------

void Recording::Add(io::FrameTime time, std::string body)
{
    times.push_back(time);
    bodies.push_back(std::move(body));
}

void Recording::AddAfter(int64_t gapMicros, std::string body)
{
    int64_t micros = 0;
    if (!times.empty()) {
        micros = int64_t{times.back().seconds} * 1000000 + times.back().microseconds;
    }
    micros += gapMicros;
    Add(io::FrameTime{static_cast<int32_t>(micros / 1000000),
                      static_cast<int32_t>(micros % 1000000)},
        std::move(body));
}

std::string Recording::Bytes() const
{
    std::string out;
    out.reserve(BodyBytes() + 12 * bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) {
        PutLittleEndian32(out, static_cast<uint32_t>(times[i].seconds));
        PutLittleEndian32(out, static_cast<uint32_t>(times[i].microseconds));
        PutLittleEndian32(out, static_cast<uint32_t>(bodies[i].size()));
        out += bodies[i];
    }
    return out;
}

size_t Recording::BodyBytes() const
{
    size_t total = 0;
    for (const std::string& body : bodies) {
        total += body.size();
    }
    return total;
}

bool Recording::WriteTo(const std::string& path) const
{
    std::ofstream file(path, std::ios::binary);
    const std::string bytes = Bytes();
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

uint32_t Recording::DelayMs(size_t i, int speed) const
{
    return io::FrameDelayMilliseconds(io::FrameTimeDiff(times[i - 1], times[i]), speed);
}

int64_t Recording::DueAfterNs(size_t i, int speed) const
{
    return io::FrameDelay(io::FrameTimeDiff(times[i - 1], times[i]), speed).count();
}

Stream ExpectedStream(const Recording& recording)
{
    Stream stream;
    stream.bytes.append(kGreeting, sizeof kGreeting - 1);
    stream.greetingEnd = stream.bytes.size();
    for (const std::string& body : recording.bodies) {
        for (char byte : body) {
            stream.bytes.push_back(byte);
            if (byte == '\xff') {
                stream.bytes.push_back(byte);
            }
        }
        stream.frameEnds.push_back(stream.bytes.size());
    }
    return stream;
}

Stream ExpectedWebStream(const Recording& recording)
{
    return RawStream(recording, 0);
}

Stream RawStream(const Recording& recording, size_t first)
{
    Stream stream;
    for (size_t i = first; i < recording.bodies.size(); ++i) {
        stream.bytes += recording.bodies[i];
        stream.frameEnds.push_back(stream.bytes.size());
    }
    return stream;
}

// --- Server -----------------------------------------------------------------------------

Server::Server(const std::string& binary, const std::string& recording, int port, int webPort)
    : port_(port), webPort_(webPort)
{
    runtimeDir_ = MakeTempDir("ombrix-bench-rt-");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(1);
    }
    const std::string portText = std::to_string(port);
    const std::string webPortText = std::to_string(webPort);
    const std::string errorLog = runtimeDir_ + "/stderr.log";
    startNs_ = NowNs();
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], 1);
        const int err = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (err >= 0) {
            ::dup2(err, 2);
        }
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        std::vector<const char*> argv{binary.c_str(), "--headless", "--port", portText.c_str()};
        if (webPort != 0) {
            argv.push_back("--web-port");
            argv.push_back(webPortText.c_str());
        }
        if (!recording.empty()) {
            argv.push_back(recording.c_str());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    ::close(out[1]);
    stdoutFd_ = out[0];
    ::fcntl(stdoutFd_, F_SETFL, O_NONBLOCK);
}

Server::~Server()
{
    Stop();
    if (stdoutFd_ >= 0) {
        ::close(stdoutFd_);
    }
    const std::string log = runtimeDir_ + "/stderr.log";
    ::unlink(log.c_str());
    ::rmdir(runtimeDir_.c_str());
}

void Server::Drain()
{
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(stdoutFd_, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        out_.append(buffer, static_cast<size_t>(got));
        // The status lines grow with every frame; only the recent ones matter here.
        if (out_.size() > (1u << 20)) {
            out_.erase(0, out_.size() - (1u << 19));
        }
    }
    if (listeningNs_ == 0 && HasLinePrefix("connection: ")) {
        listeningNs_ = NowNs();
    }
}

bool Server::HasLine(const std::string& line) const
{
    return out_.find("\n" + line + "\n") != std::string::npos ||
           out_.compare(0, line.size() + 1, line + "\n") == 0;
}

bool Server::HasLinePrefix(const std::string& prefix) const
{
    return out_.find("\n" + prefix) != std::string::npos ||
           out_.compare(0, prefix.size(), prefix) == 0;
}

bool Server::WaitForLinePrefix(const std::string& prefix, int timeoutMs)
{
    const int64_t end = NowNs() + int64_t{timeoutMs} * 1000000;
    while (NowNs() < end) {
        Drain();
        if (HasLinePrefix(prefix)) {
            return true;
        }
        if (!Alive()) {
            return false;
        }
        pollfd wait{stdoutFd_, POLLIN, 0};
        ::poll(&wait, 1, 2);
    }
    return false;
}

long Server::RssKb() const
{
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

double Server::CpuSeconds() const
{
    return CpuSecondsOf(pid_);
}

int Server::FdCount() const
{
    const std::string path = "/proc/" + std::to_string(pid_) + "/fd";
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

bool Server::Alive()
{
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int Server::Stop()
{
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    const int64_t end = NowNs() + 5'000'000'000;
    int status = 0;
    while (NowNs() < end) {
        Drain();
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        ::usleep(2000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

// --- ViewerPool -------------------------------------------------------------------------

ViewerPool::ViewerPool(const Stream& stream, Server& server, const Stream* webStream)
    : ViewerPool(stream, server.Port(), server.StdoutFd(), [&server] { server.Drain(); })
{
    webStream_ = webStream;
    webPort_ = server.WebPort();
}

ViewerPool::ViewerPool(const Stream& stream, int port, int output, std::function<void()> drain)
    : stream_(stream), port_(port), output_(output), drain_(std::move(drain)), buffer_(1 << 18)
{
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (output >= 0) {
        epoll_event want{};
        want.events = EPOLLIN;
        want.data.u64 = UINT64_MAX;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, output, &want);
    }
}

ViewerPool::~ViewerPool()
{
    CloseAll();
    ::close(epoll_);
}

size_t ViewerPool::Connect()
{
    Viewer viewer;
    viewer.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    viewer.arrivals.assign(stream_.frameEnds.size(), -1);
    viewer.connectNs = NowNs();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    const int one = 1;
    ::setsockopt(viewer.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(viewer.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        viewer.closed = true;
    }
    const size_t index = viewers_.size();
    epoll_event want{};
    want.events = EPOLLIN;
    want.data.u64 = index;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, viewer.fd, &want);
    viewers_.push_back(std::move(viewer));
    return index;
}

bool ViewerPool::ConnectMany(size_t count, size_t window, size_t untilByte, int timeoutMs)
{
    const int64_t end = NowNs() + int64_t{timeoutMs} * 1000000;
    size_t firstWaiting = viewers_.size();
    for (size_t made = 0; made < count; ++made) {
        Connect();
        auto waiting = [&] {
            while (firstWaiting < viewers_.size() && viewers_[firstWaiting].received >= untilByte) {
                ++firstWaiting;
            }
            return viewers_.size() - firstWaiting;
        };
        const int left = static_cast<int>((end - NowNs()) / 1000000);
        if (left <= 0 || !RunUntil([&] { return waiting() < window; }, left)) {
            return false;
        }
    }
    return RunUntil([&] { return AllReceived(untilByte); },
                    std::max<int>(1, static_cast<int>((end - NowNs()) / 1000000)));
}

size_t ViewerPool::ConnectWeb()
{
    Viewer viewer;
    viewer.web = true;
    viewer.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    viewer.arrivals.assign(webStream_->frameEnds.size(), -1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(webPort_));
    const int one = 1;
    ::setsockopt(viewer.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // Connected before it turns non-blocking: the request goes out at once.
    if (::connect(viewer.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        viewer.closed = true;
    }
    ::fcntl(viewer.fd, F_SETFL, O_NONBLOCK);
    const size_t index = viewers_.size();
    epoll_event want{};
    want.events = EPOLLIN;
    want.data.u64 = index;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, viewer.fd, &want);
    viewers_.push_back(std::move(viewer));
    if (!viewers_[index].closed) {
        Send(index, WebSocketUpgradeRequest(webPort_));
    }
    return index;
}

bool ViewerPool::ConnectManyWeb(size_t count, size_t untilByte, int timeoutMs)
{
    const int64_t end = NowNs() + int64_t{timeoutMs} * 1000000;
    for (size_t made = 0; made < count; ++made) {
        const size_t index = ConnectWeb();
        const int left = static_cast<int>((end - NowNs()) / 1000000);
        if (left <= 0 || !RunUntil([&] { return viewers_[index].received >= untilByte; }, left)) {
            return false;
        }
    }
    return true;
}

bool ViewerPool::Send(size_t index, const std::string& bytes)
{
    size_t sent = 0;
    const int64_t end = NowNs() + 10'000'000'000;
    while (sent < bytes.size() && NowNs() < end) {
        const ssize_t n =
            ::send(viewers_[index].fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        } else {
            // Keep reading while the keys cannot go out, or both sides stall.
            RunUntil([] { return false; }, 1);
        }
    }
    return sent == bytes.size();
}

void ViewerPool::ReadViewer(size_t index)
{
    Viewer& viewer = viewers_[index];
    while (!viewer.closed) {
        const ssize_t got = ::recv(viewer.fd, buffer_.data(), buffer_.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (got <= 0) {
            viewer.closed = true;
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, viewer.fd, nullptr);
            return;
        }
        const int64_t now = NowNs();
        const size_t n = static_cast<size_t>(got);
        if (!viewer.web) {
            Take(viewer, stream_, buffer_.data(), n, now);
        } else if (!viewer.frames.Feed(buffer_.data(), n, [&](const char* data, size_t size) {
                       Take(viewer, *webStream_, data, size, now);
                   })) {
            viewer.mismatch = true;
        }
    }
}

void ViewerPool::Take(Viewer& viewer, const Stream& stream, const char* data, size_t n, int64_t now)
{
    if (viewer.received + n > stream.bytes.size() ||
        std::memcmp(data, stream.bytes.data() + viewer.received, n) != 0) {
        viewer.mismatch = true;
    }
    const size_t before = viewer.received;
    viewer.received += n;
    if (before < stream.bytes.size() && viewer.received >= stream.bytes.size()) {
        ++complete_;
    }
    if (viewer.greetedNs == 0 && viewer.received >= stream.greetingEnd) {
        viewer.greetedNs = now;
        ++greeted_;
    }
    while (viewer.nextFrame < stream.frameEnds.size() &&
           stream.frameEnds[viewer.nextFrame] <= viewer.received) {
        viewer.arrivals[viewer.nextFrame++] = now;
    }
}

bool ViewerPool::AllComplete() const
{
    return std::all_of(viewers_.begin(), viewers_.end(), [this](const Viewer& viewer) {
        return viewer.received >= (viewer.web ? webStream_ : &stream_)->bytes.size();
    });
}

bool ViewerPool::RunUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const int64_t end = NowNs() + int64_t{timeoutMs} * 1000000;
    epoll_event events[1024];
    for (;;) {
        if (condition()) {
            return true;
        }
        const int64_t left = end - NowNs();
        if (left <= 0) {
            return false;
        }
        const int n = ::epoll_wait(epoll_, events, 1024,
                                   static_cast<int>(std::min<int64_t>(left / 1000000 + 1, 5)));
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == UINT64_MAX) {
                if (drain_) {
                    drain_();
                }
            } else {
                ReadViewer(static_cast<size_t>(events[i].data.u64));
            }
        }
    }
}

bool ViewerPool::AllReceived(size_t bytes) const
{
    // Asked on every turn of the loop: counted as bytes arrive, not by a walk over a crowd.
    if (bytes == stream_.bytes.size()) {
        return complete_ == viewers_.size();
    }
    return std::all_of(viewers_.begin(), viewers_.end(),
                       [bytes](const Viewer& viewer) { return viewer.received >= bytes; });
}

bool ViewerPool::AnyMismatch() const
{
    return std::any_of(viewers_.begin(), viewers_.end(),
                       [](const Viewer& viewer) { return viewer.mismatch; });
}

void ViewerPool::CloseAll()
{
    for (Viewer& viewer : viewers_) {
        if (viewer.fd >= 0) {
            ::close(viewer.fd);
            viewer.fd = -1;
        }
    }
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    const size_t rank = std::min(
        values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank),
                     values.end());
    return values[rank];
}

void Server::ShrinkOutputPipe()
{
    ::fcntl(stdoutFd_, F_SETPIPE_SZ, 4096);
}

void ViewerPool::StopReadingServer()
{
    if (output_ >= 0) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, output_, nullptr);
    }
}

}  // namespace bench
