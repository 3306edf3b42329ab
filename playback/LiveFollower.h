#pragma once

#include <sys/types.h>

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "platform/FileWatcher.h"
#include "platform/UniqueFd.h"
#include "playback/GrowingSource.h"

class Player;
class PlaybackStatus;

// Follows the recording at one path while it is being written: waits for the file to be
// there and for enough of it to tell its format, hands the player a growing source, and
// has it read on whenever the file is written. When the file is truncated, or another
// file takes its name (a new session, a log rotation), a new recording starts; when it
// is deleted, what was played stays served while its name is waited for. Each of these is
// said in panel 1 and on standard error.
class LiveFollower
{
public:
    // The player and the status panels must outlive it.
    LiveFollower(Player& player, PlaybackStatus& status, QByteArray path);
    ~LiveFollower();
    LiveFollower(const LiveFollower&) = delete;
    LiveFollower& operator=(const LiveFollower&) = delete;

    // Watches the path and starts on what is there. False, after saying why, when the
    // folder cannot be watched, the file cannot be read, or it cannot be followed.
    bool Start();

private:
    // The file followed: which one it is, and what its start and size were when last seen,
    // to tell that it was truncated or rewritten.
    struct File
    {
        UniqueFd fd;
        dev_t device = 0;
        ino_t inode = 0;
        QByteArray head;
        int64_t size = 0;
    };

    void Changed(const FileWatcher::Changes& changes);
    // What the path names now: the same file, another one, or none.
    void LookAtPath();
    // True when the file has shrunk or its first bytes changed since they were seen.
    bool Truncated();
    // Opens the file at the path; false when there is none or it cannot be read (then
    // `missing` says whether there is none).
    bool OpenAtPath(File& into, bool* missing);
    // A new recording starts in the file: the last one is stopped, and said why.
    void NewRecording(const QString& why);
    // Hands the player a source once the format is known; false when the file cannot be
    // followed.
    bool TryStart();
    // Panel 1 shows the file's name and the state; standard error says it too, unless it is
    // plainly following.
    void Say(const QString& state) const;
    void Refuse(const QString& why);

    Player& player_;
    PlaybackStatus& status_;
    QByteArray path_;
    QString name_;
    FileWatcher watcher_;
    File file_;
    bool started_ = false;  // the player reads the file's recording
    bool refused_ = false;  // the file's recording cannot be followed
    bool pathGone_ = false;
    // The file is new to the panel: it says that it is followed once its format is known
    // to be one that can be.
    bool announce_ = false;
};
