#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The per-user folder for the instance lock and the hand-off socket. Every start of the
// same user in the same environment must find the same folder, or two of them would both
// be first; and nobody else may write in it.
//
// In order: $XDG_RUNTIME_DIR/ombrix when XDG_RUNTIME_DIR is set and sound (an absolute
// folder of the user's own that others cannot write in); else /tmp/ombrix-<uid>; else, when
// that is taken (another user made it first, or it is open to others), a folder made with
// mkdtemp, /tmp/ombrix-<uid>-XXXXXX, whose name is recorded in the user's cache folder
// ($XDG_CACHE_HOME/ombrix/runtime-folder or ~/.cache/ombrix/runtime-folder, under an
// exclusive lock) so that every later start takes the same one. Each folder is created 0700
// if missing and must then be a real folder, the user's own and closed to everyone else.
// Empty when none can be had. Each folder passed over is told once on standard error: which
// it is, why, and what is used instead.
QString RuntimeDirectory();

// Where RuntimeDirectory() looks, for tests that cannot touch the real /tmp.
struct RuntimePlaces
{
    QByteArray xdgRuntimeDir;  // empty: not set
    QByteArray sharedTemp = "/tmp";
    QByteArray cacheHome;  // where the record of a fallback folder is kept
};
// The same choice among the given places; each folder passed over adds a line to notes.
QString RuntimeDirectoryIn(const RuntimePlaces& places, QStringList* notes);

// The path (the platform's bytes) of the file name + suffix in that folder; empty when the
// folder is refused or the name is not one plain file name (empty, or holding '/' or NUL),
// so a name can never reach into another folder.
QByteArray RuntimeFilePath(const QString& name, const QString& suffix);
