#include "playback/LiveFollower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "common/Texts.h"
#include "playback/Player.h"
#include "playback/io.h"

namespace {
// How much of the file's start is kept to tell a rewritten file from a grown one: a new
// ttyrec session starts with another time, an asciicast one with another header.
constexpr qsizetype kHeadBytes = 64;

QByteArray ReadAt(int fd, qsizetype count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    ssize_t got;
    do {
        got = ::pread(fd, bytes.data(), static_cast<size_t>(count), 0);
    } while (got < 0 && errno == EINTR);
    bytes.resize(got > 0 ? got : 0);
    return bytes;
}

void PrintLine(const QByteArray& path, const QString& text)
{
    std::fprintf(stderr, "ombrix: %s: %s\n", path.constData(), text.toLocal8Bit().constData());
    std::fflush(stderr);
}
}  // namespace

LiveFollower::LiveFollower(Player& player, PlaybackStatus& status, QByteArray path)
    : player_(player),
      status_(status),
      path_(std::move(path)),
      name_(FileNamePart(path_)),
      watcher_([this](const FileWatcher::Changes& changes) { Changed(changes); })
{
}

LiveFollower::~LiveFollower() = default;

bool LiveFollower::Start()
{
    QString error;
    if (!watcher_.Watch(path_, &error)) {
        PrintLine(path_, error);
        status_.SetStatusFile(Texts::OpenFailed);
        return false;
    }
    bool missing = false;
    if (!OpenAtPath(file_, &missing)) {
        if (!missing) {
            status_.SetStatusFile(Texts::OpenFailed);
            return false;
        }
        Say(Texts::LiveWaitingForFile);
        return true;
    }
    announce_ = true;
    return TryStart();
}

bool LiveFollower::OpenAtPath(File& into, bool* missing)
{
    const char* reason = "";
    int error = 0;
    UniqueFd fd = io::OpenRegularFd(path_, &reason, &error);
    struct stat info
    {
    };
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0) {
        *missing = error == ENOENT;
        if (!*missing) {
            PrintLine(path_, QString::fromLocal8Bit(reason));
        }
        return false;
    }
    into = File{std::move(fd), info.st_dev, info.st_ino, QByteArray(), 0};
    return true;
}

void LiveFollower::Changed(const FileWatcher::Changes& changes)
{
    if (changes.pathChanged) {
        LookAtPath();
    }
    if (file_.fd.Valid() && Truncated()) {
        NewRecording(Texts::LiveTruncated);
    }
    if (!started_) {
        TryStart();
    } else {
        player_.ReadOn();
    }
}

void LiveFollower::LookAtPath()
{
    struct stat info
    {
    };
    if (::stat(path_.constData(), &info) != 0) {
        if (file_.fd.Valid() && !pathGone_) {
            // The file stays open: what was played stays served, and a writer that still
            // holds it open is still followed.
            pathGone_ = true;
            Say(Texts::LiveDeleted);
        }
        return;
    }
    if (file_.fd.Valid() && info.st_dev == file_.device && info.st_ino == file_.inode) {
        if (pathGone_) {
            pathGone_ = false;  // moved away and back
            Say(Texts::LiveFollowing);
        }
        return;
    }
    File other;
    bool missing = false;
    if (!OpenAtPath(other, &missing)) {
        return;  // a folder or a device took the name: the next change is looked at again
    }
    const bool hadFile = file_.fd.Valid();
    file_ = std::move(other);
    pathGone_ = false;
    watcher_.WatchFileAtPath();
    if (hadFile) {
        NewRecording(Texts::LiveReplaced);
    } else {
        announce_ = true;
    }
}

bool LiveFollower::Truncated()
{
    struct stat info
    {
    };
    if (::fstat(file_.fd.Get(), &info) != 0) {
        return false;
    }
    const int64_t size = info.st_size;
    bool truncated = size < file_.size;
    if (!truncated && !file_.head.isEmpty()) {
        truncated = ReadAt(file_.fd.Get(), file_.head.size()) != file_.head;
    }
    file_.size = size;
    if (!truncated && file_.head.size() < kHeadBytes && size > file_.head.size()) {
        file_.head = ReadAt(file_.fd.Get(), std::min<int64_t>(size, kHeadBytes));
    }
    return truncated;
}

void LiveFollower::NewRecording(const QString& why)
{
    announce_ = false;  // what is said stands for the new recording as well
    Say(why);
    player_.StopLive();
    started_ = false;
    refused_ = false;
    // What the file holds now is the start of the new recording.
    file_.head.clear();
    file_.size = 0;
    Truncated();
}

bool LiveFollower::TryStart()
{
    if (refused_ || !file_.fd.Valid()) {
        return !refused_;
    }
    const growing::Format format = growing::FormatOf(file_.fd.Get());
    if (format == growing::Format::NotYet || format == growing::Format::Ttyrec ||
        format == growing::Format::Asciicast) {
        // Said before the first read, so that a failure of it is what stays in the panel.
        if (std::exchange(announce_, false)) {
            Say(Texts::LiveFollowing);
        }
    }
    switch (format) {
        case growing::Format::NotYet:
            return true;
        case growing::Format::Compressed:
            Refuse(Texts::CannotFollowCompressed);
            return false;
        case growing::Format::Version1:
            Refuse(Texts::CannotFollowVersion1);
            return false;
        case growing::Format::Invalid:
            Refuse(Texts::FormatError);
            return false;
        case growing::Format::Ttyrec:
        case growing::Format::Asciicast:
            break;
    }
    UniqueFd own(::fcntl(file_.fd.Get(), F_DUPFD_CLOEXEC, 0));
    std::unique_ptr<FrameSource> source =
        own.Valid() ? growing::OpenGrowingSource(std::move(own), format) : nullptr;
    if (!source) {
        return true;  // no descriptor left: the next write tries again
    }
    started_ = true;
    if (file_.head.isEmpty()) {
        Truncated();  // the start it is read from is the one to compare with later
    }
    player_.StartLive(std::move(source), name_);
    return true;
}

void LiveFollower::Say(const QString& state) const
{
    status_.SetStatusFile(name_ + Texts::LiveState.arg(state));
    if (state != Texts::LiveFollowing) {
        PrintLine(path_, state);
    }
}

void LiveFollower::Refuse(const QString& why)
{
    refused_ = true;
    announce_ = false;
    status_.SetStatusFile(why);
    PrintLine(path_, why);
}
