#include "playback/PlaylistEntries.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/Texts.h"
#include "playback/FrameSource.h"

namespace {

struct DirCloser
{
    void operator()(DIR* dir) const { ::closedir(dir); }
};

void Report(const QByteArray& path, const QString& what)
{
    std::fprintf(stderr, "ombrix: %s: %s\n", path.constData(), what.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool IsFolder(const QByteArray& path)
{
    struct stat info
    {
    };
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const QByteArray& path)
{
    struct stat info
    {
    };
    return ::stat(path.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// The paths of the folder's visible regular files (links followed), by name in byte order.
QByteArrayList VisibleFiles(const QByteArray& folder)
{
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.constData()));
    if (!dir) {
        Report(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    const QByteArray prefix = folder.endsWith('/') ? folder : folder + '/';
    QByteArrayList names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith('.') && IsRegularFile(prefix + name)) {
            names.append(name);
        }
    }
    // QByteArray compares as unsigned bytes, whatever the locale.
    std::sort(names.begin(), names.end());
    QByteArrayList paths;
    for (const QByteArray& name : names) {
        paths.append(prefix + name);
    }
    return paths;
}

void AppendFolder(const QByteArray& folder, QByteArrayList& entries)
{
    const qsizetype before = entries.size();
    for (const QByteArray& path : VisibleFiles(folder)) {
        if (const std::optional<QString> reason = WhyNoRecording(path)) {
            Report(path, *reason + QStringLiteral("; ") + Texts::LeftOutOfPlaylist);
        } else {
            entries.append(path);
        }
    }
    if (entries.size() == before) {
        Report(folder, Texts::NoRecordingInFolder);
    }
}

}  // namespace

QByteArrayList PlaylistEntries(const QByteArrayList& arguments)
{
    QByteArrayList entries;
    for (const QByteArray& argument : arguments) {
        if (IsFolder(argument)) {
            AppendFolder(argument, entries);
        } else {
            entries.append(argument);
        }
    }
    return entries;
}
