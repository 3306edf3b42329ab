#include "playback/io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "platform/UniqueFd.h"

namespace io {

// The delays are defined by x87 extended arithmetic (64-bit significand, round to
// nearest): the truncations below decide the last millisecond, and another format gives
// other delays. Refuse to build where long double is not that format.
static_assert(LDBL_MANT_DIG == 64,
              "FrameTimeDivide needs x87 extended precision (64-bit significand) long double");

namespace {
int cachedLittleEndian = -1;
// The first field of the open-failure line.
const char* const programName = "";
}  // namespace

int HostIsLittleEndian()
{
    if (cachedLittleEndian != -1) {
        return cachedLittleEndian;
    }
    const uint32_t one = 1;
    const unsigned char expected[4] = {1, 0, 0, 0};
    cachedLittleEndian = std::memcmp(&one, expected, sizeof one) == 0 ? 1 : 0;
    return cachedLittleEndian;
}

uint32_t LittleEndianToHost32(uint32_t value)
{
    if (HostIsLittleEndian()) {
        return value;
    }
    return ((value & 0xffu) << 24) | ((value & 0xff00u) << 8) | ((value >> 8) & 0xff00u) |
           (value >> 24);
}

int DecodeFrameHeader(const char* bytes, size_t available, FrameHeader& header)
{
    const int whole = static_cast<int>(std::min(available, kFrameHeaderSize) / 4);
    int32_t fields[3] = {0, 0, 0};
    for (int i = 0; i < whole; ++i) {
        uint32_t value;
        std::memcpy(&value, bytes + 4 * i, sizeof value);
        fields[i] = static_cast<int32_t>(LittleEndianToHost32(value));
    }
    header.time.seconds = fields[0];
    header.time.microseconds = fields[1];
    header.length = fields[2];
    return whole;
}

int ReadFrameHeaderFields(std::FILE* stream, FrameHeader& header)
{
    char bytes[kFrameHeaderSize];
    return DecodeFrameHeader(bytes, std::fread(bytes, 1, sizeof bytes, stream), header);
}

int ReadFrameHeader(std::FILE* stream, FrameHeader& header)
{
    return ReadFrameHeaderFields(stream, header) > 0 ? 1 : 0;
}

// Opening without ever blocking: a FIFO or a device would wait for a writer (or hang on a
// read) on the only thread, so anything but a regular file is refused.
UniqueFd OpenRegularFd(const QByteArray& path, const char** reason, int* error)
{
    const auto fail = [&](int number, const char* text) {
        *reason = text != nullptr ? text : std::strerror(number);
        if (error != nullptr) {
            *error = number;
        }
        return UniqueFd();
    };
    UniqueFd fd(::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info
    {
    };
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) {
        return fail(errno, nullptr);
    }
    if (S_ISDIR(info.st_mode)) {
        return fail(EISDIR, nullptr);  // a folder opens for reading but holds no recording
    }
    if (!S_ISREG(info.st_mode)) {
        return fail(EINVAL, "Not a regular file");
    }
    // Blocking again: reads of a regular file must never come back short with EAGAIN.
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return fail(errno, nullptr);
    }
    return fd;
}

FilePtr OpenRegularFile(const QByteArray& path, const char* mode, const char** reason)
{
    UniqueFd fd = OpenRegularFd(path, reason, nullptr);
    if (!fd.Valid()) {
        return nullptr;
    }
    FilePtr file(::fdopen(fd.Get(), mode));
    if (!file) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    fd.Release();
    return file;
}

FilePtr OpenFileOrReport(const QByteArray& path, const char* mode)
{
    const char* reason = "";
    FilePtr file = OpenRegularFile(path, mode, &reason);
    if (!file) {
        // The path's own bytes, whatever their encoding: they name the file exactly.
        std::fprintf(stderr, "%s: %s: %s\n", programName, path.constData(), reason);
        std::fflush(stderr);
    }
    return file;
}

std::optional<FrameTime> SecondsToFrameTime(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 2147483647.0) {
        return std::nullopt;
    }
    const int64_t micro = std::llround(seconds * 1e6);
    int64_t whole = micro / 1000000;
    int64_t fraction = micro % 1000000;
    if (fraction < 0) {
        whole -= 1;
        fraction += 1000000;
    }
    return FrameTime{static_cast<int32_t>(whole), static_cast<int32_t>(fraction)};
}

FrameTime FrameTimeDiff(FrameTime a, FrameTime b)
{
    // Wrapping like the 32-bit fields the recording holds, without overflow in C++.
    FrameTime d;
    d.seconds =
        static_cast<int32_t>(static_cast<uint32_t>(b.seconds) - static_cast<uint32_t>(a.seconds));
    d.microseconds = static_cast<int32_t>(static_cast<uint32_t>(b.microseconds) -
                                          static_cast<uint32_t>(a.microseconds));
    if (d.microseconds < 0) {
        d.seconds = static_cast<int32_t>(static_cast<uint32_t>(d.seconds) - 1u);
        d.microseconds = static_cast<int32_t>(static_cast<uint32_t>(d.microseconds) + 1000000u);
    }
    return d;
}

namespace {
// Truncates toward zero into a 64-bit integer; 0 outside its range (or not a number).
int64_t Truncate64(long double value)
{
    if (!(value > -9.2e18L && value < 9.2e18L)) {
        return 0;
    }
    return static_cast<int64_t>(value);
}

// The low 32 bits of a 64-bit integer, as the fields of a FrameTime keep them.
int32_t Low32(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}
}  // namespace

FrameTime FrameTimeDivide(FrameTime t, double n)
{
    // Each step is rounded to extended precision, as the FPU does it; only x is a double.
    const long double micro = static_cast<long double>(t.microseconds) * 1e-6L;
    const long double sum = static_cast<long double>(t.seconds) + micro;
    const double x = static_cast<double>(sum / static_cast<long double>(n));
    const int64_t whole = Truncate64(x);
    const long double fraction =
        (static_cast<long double>(x) - static_cast<long double>(whole)) * 1000000.0L;
    return FrameTime{Low32(whole), Low32(Truncate64(fraction))};
}

uint32_t FrameDelayMilliseconds(FrameTime gap, int speed)
{
    const FrameTime q1 = FrameTimeDivide(gap, static_cast<double>(speed));
    const FrameTime q2 = FrameTimeDivide(q1, 1000.0);
    const int64_t milliseconds = int64_t{q2.seconds} * 1000000 + q2.microseconds;
    if (milliseconds <= 0) {
        return 1;  // an interval of 0 would stop the timer; an earlier stamp goes at once
    }
    return static_cast<uint32_t>(std::min<int64_t>(milliseconds, kMaxDelayMilliseconds));
}

std::chrono::nanoseconds FrameDelay(FrameTime gap, int speed)
{
    using std::chrono::milliseconds;
    using std::chrono::nanoseconds;
    // Whole integers: a gap of at most 2^31 s is below 2.2e18 ns, inside 64 bits.
    const int64_t micros = int64_t{gap.seconds} * 1000000 + gap.microseconds;
    if (micros <= 0) {
        return milliseconds(1);
    }
    const nanoseconds delay(micros * 1000 / std::max(speed, 1));
    return std::min<nanoseconds>(delay, milliseconds(kMaxDelayMilliseconds));
}

}  // namespace io
