#include "Harness.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

std::string Format(const char* format, ...)
{
    char text[64];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

namespace {
const char kGreeting[] = "\xff\xfb\x01\xff\xfb\x03\xff\xfd\xf3";
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

QByteArray Recording::Bytes() const
{
    QByteArray out;
    out.reserve(static_cast<qsizetype>(BodyBytes() + 12 * bodies.size()));
    for (size_t i = 0; i < bodies.size(); ++i) {
        AppendTtyrecFrame(
            out, times[i].seconds, times[i].microseconds,
            QByteArrayView(bodies[i].data(), static_cast<qsizetype>(bodies[i].size())));
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

std::string Recording::WriteInto(RecordingFolder& folder, const char* name) const
{
    const QString path = folder.Write(QString::fromUtf8(name), Bytes());
    if (path.isEmpty()) {
        std::fprintf(stderr, "cannot write the recording %s\n", name);
        std::exit(1);
    }
    return path.toStdString();
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

namespace {
OmbrixLaunch ServerLaunch(const std::string& binary, const std::string& recording, int port,
                          int webPort, const std::vector<std::string>& options)
{
    OmbrixLaunch launch;
    launch.program = QString::fromStdString(binary);
    launch.arguments = {"--port", QByteArray::number(port)};
    if (webPort != 0) {
        launch.arguments += {"--web-port", QByteArray::number(webPort)};
    }
    for (const std::string& option : options) {
        launch.arguments.append(QByteArray::fromStdString(option));
    }
    if (!recording.empty()) {
        launch.arguments.append(QByteArray::fromStdString(recording));
    }
    launch.errorLog = QStringLiteral("stderr.log");
    // The status lines grow with every frame; only the recent ones matter here.
    launch.outputTail = 1 << 19;
    return launch;
}
}  // namespace

Server::Server(const std::string& binary, const std::string& recording, int port, int webPort,
               const std::vector<std::string>& options)
    : port_(port),
      webPort_(webPort),
      startNs_(NowNs()),
      process_(ServerLaunch(binary, recording, port, webPort, options))
{
}

void Server::NoteListening()
{
    if (listeningNs_ == 0 && process_.HasLinePrefix("connection: ")) {
        listeningNs_ = NowNs();
    }
}

void Server::Drain()
{
    process_.Drain();
    NoteListening();
}

bool Server::WaitForLinePrefix(const std::string& prefix, int timeoutMs)
{
    const bool seen = process_.WaitForLinePrefix(prefix, timeoutMs);
    NoteListening();
    return seen;
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
    viewer.fd = NewLoopbackSocket({.noDelay = true});
    viewer.arrivals.assign(stream_.frameEnds.size(), -1);
    viewer.connectNs = NowNs();
    viewer.closed = !viewer.fd.Valid() || !StartConnect(viewer.fd.Get(), port_);
    return Add(std::move(viewer));
}

size_t ViewerPool::Add(Viewer viewer)
{
    const size_t index = viewers_.size();
    epoll_event want{};
    want.events = EPOLLIN;
    want.data.u64 = index;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, viewer.fd.Get(), &want);
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
    // Connected before it returns: the request goes out at once.
    viewer.fd = ConnectLoopback(webPort_, {.noDelay = true});
    viewer.arrivals.assign(webStream_->frameEnds.size(), -1);
    viewer.closed = !viewer.fd.Valid();
    const size_t index = Add(std::move(viewer));
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
        const ssize_t n = ::send(viewers_[index].fd.Get(), bytes.data() + sent, bytes.size() - sent,
                                 MSG_NOSIGNAL);
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
        const ssize_t got = ::recv(viewer.fd.Get(), buffer_.data(), buffer_.size(), 0);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return;
        }
        if (got <= 0) {
            viewer.closed = true;
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, viewer.fd.Get(), nullptr);
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
        viewer.fd.Close();
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

void ViewerPool::StopReadingServer()
{
    if (output_ >= 0) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, output_, nullptr);
    }
}

std::vector<int64_t> FrameSchedule(ViewerPool& pool, const Recording& recording, int speed)
{
    int64_t anchor = INT64_MAX;
    for (size_t v = 0; v < pool.Size(); ++v) {
        if (pool.At(v).arrivals[1] > 0) {
            anchor = std::min(anchor, pool.At(v).arrivals[1]);
        }
    }
    std::vector<int64_t> schedule(recording.bodies.size(), anchor);
    for (size_t i = 2; i < schedule.size(); ++i) {
        schedule[i] = schedule[i - 1] + recording.DueAfterNs(i, speed);
    }
    return schedule;
}

}  // namespace bench
