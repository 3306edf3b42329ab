#include "platform/FileWatcher.h"

#include <sys/inotify.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "platform/ErrorDisplay.h"

namespace {
constexpr uint32_t kFileEvents = IN_MODIFY | IN_CLOSE_WRITE;
constexpr uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
constexpr uint32_t kNameEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM;

// The folder part of a path ("." for a bare name) and the name after it.
QByteArray FolderOf(const QByteArray& path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) {
        return QByteArrayLiteral(".");
    }
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

QByteArray NameOf(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}
}  // namespace

FileWatcher::Changes DecodeInotifyEvents(const char* bytes, size_t size, int folderWatch,
                                         int fileWatch, QByteArrayView name)
{
    FileWatcher::Changes changes;
    size_t at = 0;
    while (size - at >= sizeof(inotify_event)) {
        inotify_event event;
        std::memcpy(&event, bytes + at, sizeof event);
        const size_t whole = sizeof event + event.len;
        if (whole > size - at) {
            break;  // the kernel never splits an event; a short block ends here
        }
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            changes.written = true;
            changes.pathChanged = true;
        } else if (event.wd == fileWatch && (event.mask & kFileEvents) != 0) {
            changes.written = true;
        } else if (event.wd == folderWatch && (event.mask & kNameEvents) != 0) {
            // The name is padded with NULs up to the event's length.
            const char* named = bytes + at + sizeof event;
            if (QByteArrayView(named, static_cast<qsizetype>(strnlen(named, event.len))) == name) {
                changes.pathChanged = true;
            }
        }
        at += whole;
    }
    return changes;
}

FileWatcher::FileWatcher(Handler handler) : handler_(std::move(handler)) {}

FileWatcher::~FileWatcher() = default;

bool FileWatcher::Watch(const QByteArray& path, QString* error)
{
    inotify_.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.Valid()) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    path_ = path;
    name_ = NameOf(path);
    folderWatch_ = ::inotify_add_watch(inotify_.Get(), FolderOf(path).constData(), kFolderEvents);
    if (folderWatch_ < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        inotify_.Reset();
        return false;
    }
    fileWatch_ = -1;
    WatchFileAtPath();
    notifier_ = std::make_unique<QSocketNotifier>(inotify_.Get(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated,
                     [this] { ErrorDisplay::Guard([this] { ReadEvents(); }); });
    return true;
}

bool FileWatcher::WatchFileAtPath()
{
    const int watch = ::inotify_add_watch(inotify_.Get(), path_.constData(), kFileEvents);
    // The same file answers with the watch it has; only another one's is let go.
    if (fileWatch_ >= 0 && watch != fileWatch_) {
        ::inotify_rm_watch(inotify_.Get(), fileWatch_);
    }
    fileWatch_ = watch;
    return watch >= 0;
}

void FileWatcher::ReadEvents()
{
    // Aligned for the events, and large enough for a burst of them: each is 16 bytes and
    // the file's name.
    alignas(inotify_event) char buffer[16 * 1024];
    FileWatcher::Changes changes;
    for (;;) {
        const ssize_t got = ::read(inotify_.Get(), buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        const Changes more =
            DecodeInotifyEvents(buffer, static_cast<size_t>(got), folderWatch_, fileWatch_, name_);
        changes.written = changes.written || more.written;
        changes.pathChanged = changes.pathChanged || more.pathChanged;
    }
    if (changes.written || changes.pathChanged) {
        handler_(changes);
    }
}
