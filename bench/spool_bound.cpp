// How much disk a compressed recording's spool takes: a 135 KB zstd file of 253 frames of
// 16 MiB of zeros (4.2 GB decoded) is played through the source as the player reads it,
// with a catch-up cursor opened at the start. The spool's size is sampled after each
// frame through this process's descriptors; the file system's use is read beside it.
// Usage: ombrix_spool_bound [SPOOL-LIMIT-BYTES]   (XDG_CACHE_HOME picks the cache folder)
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QDir>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Harness.h"
#include "playback/FrameSource.h"

namespace {

// The size of the spool this process holds, and how many descriptors point into the folder.
long long SpoolBytes(const std::string& folder, int* descriptors)
{
    long long size = 0;
    *descriptors = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(fds)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[4096];
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
        struct stat info = {};
        if (length > 0 && std::string(target, length).rfind(folder, 0) == 0 &&
            ::stat(link.c_str(), &info) == 0) {
            size += info.st_size;
            ++*descriptors;
        }
    }
    ::closedir(fds);
    return size;
}

double UsedMB(const std::string& path)
{
    struct statvfs info = {};
    ::statvfs(path.c_str(), &info);
    return static_cast<double>(info.f_blocks - info.f_bfree) * info.f_frsize / 1e6;
}

}  // namespace

int main(int argc, char** argv)
{
    SourceOptions options;
    if (argc > 1) {
        options.spoolLimit = std::strtoll(argv[1], nullptr, 10);
    }
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (cache.isEmpty()) {
        cache = QDir::homePath() + QStringLiteral("/.cache");
    }
    const std::string folder = cache.toStdString() + "/ombrix/";
    RecordingFolder recordings;
    const std::string path = recordings.Path().toStdString() + "/bomb.ttyrec.zst";
    FILE* zstd = ::popen(("zstd -q -19 -c > '" + path + "'").c_str(), "w");
    const QByteArray frame = TtyrecHeader(1000, 0, 16 << 20) + QByteArray(16 << 20, '\0');
    for (int i = 0; i < 253 && zstd != nullptr; ++i) {
        std::fwrite(frame.constData(), 1, static_cast<size_t>(frame.size()), zstd);
    }
    if (zstd == nullptr || ::pclose(zstd) != 0) {
        return 1;
    }
    struct stat file = {};
    ::stat(path.c_str(), &file);

    std::unique_ptr<FrameSource> source = OpenFrameSource(QByteArray::fromStdString(path), options);
    std::unique_ptr<FrameCursor> early = source->NewCatchUpCursor();
    const auto start = std::chrono::steady_clock::now();
    io::FrameHeader header;
    QByteArray body;
    long frames = 0;
    long long peak = 0;
    double peakUsed = 0;
    int descriptors = 0;
    while (source->Next(header, body) == io::FrameReadStatus::Frame) {
        ++frames;
        const long long size = SpoolBytes(folder, &descriptors);
        if (size > peak) {
            peak = size;
            peakUsed = UsedMB(cache.toStdString());
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long long after = SpoolBytes(folder, &descriptors);
    long caughtUp = 0;
    double caughtUpBytes = 0;
    while (early->Next(header, body) == io::FrameReadStatus::Frame) {
        ++caughtUp;
        caughtUpBytes += static_cast<double>(body.size());
    }
    std::printf("file %.0f KB, %ld frames played in %.1f s\n", file.st_size / 1e3, frames, seconds);
    std::printf("spool peak %.3f GB (file system use then %.0f MB)\n", peak / 1e9, peakUsed);
    std::printf(
        "after the last frame: %d spool descriptor(s), %lld bytes, file system use %.0f MB\n",
        descriptors, after, UsedMB(cache.toStdString()));
    std::printf("catch-up opened at the start: %ld frames, %.3f GB\n", caughtUp,
                caughtUpBytes / 1e9);
    return 0;
}
