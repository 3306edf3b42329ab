#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstddef>
#include <functional>
#include <memory>

#include "platform/UniqueFd.h"

class QSocketNotifier;

// Tells, the moment it happens, that a file was written or that its name now stands for
// another file or for none: the kernel's inotify, read on the event loop. A recording
// being written is read when it grows, never on a poll.
//
// Two watches: the file itself (written, truncated, closed after writing), and its folder
// for the file's name (a file created or moved in under it, or deleted or moved away).
// What changed is only a hint to look again: the kernel merges events and drops them when
// its queue is full, so whoever is told checks the file itself.
class FileWatcher
{
public:
    struct Changes
    {
        bool written = false;      // the file watched was written to or truncated
        bool pathChanged = false;  // the name was created, moved or deleted in the folder
        friend bool operator==(const Changes&, const Changes&) = default;
    };
    using Handler = std::function<void(const Changes&)>;

    // The handler runs on the event loop, once for every batch of events read.
    explicit FileWatcher(Handler handler);
    ~FileWatcher();
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    // Watches the folder of path for the file's name, and the file at path when there is
    // one. False, with the reason, when inotify or the folder cannot be watched.
    bool Watch(const QByteArray& path, QString* error);
    // The name now stands for another file (or for one again): its writes are watched
    // from now on, and the last one's no longer. False when there is no file at the path.
    bool WatchFileAtPath();

private:
    void ReadEvents();

    Handler handler_;
    UniqueFd inotify_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QByteArray path_;
    QByteArray name_;
    int folderWatch_ = -1;
    int fileWatch_ = -1;
};

// What a block of inotify events read at once says about the file `name`, whose writes
// are watched as fileWatch in a folder watched as folderWatch. A queue overflow counts as
// every change, since what it dropped is unknown.
FileWatcher::Changes DecodeInotifyEvents(const char* bytes, size_t size, int folderWatch,
                                         int fileWatch, QByteArrayView name);
