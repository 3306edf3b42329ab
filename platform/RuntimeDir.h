#pragma once

#include <QByteArray>
#include <QString>

// The per-user folder for the instance lock and the hand-off socket: $XDG_RUNTIME_DIR/ombrix
// when XDG_RUNTIME_DIR is set, else a 0700 folder /tmp/ombrix-<uid>; created 0700 if missing,
// refused (empty string returned) when it is not ours or is group/world accessible.
QString RuntimeDirectory();

// The path (the platform's bytes) of the file name + suffix in that folder; empty when the
// folder is refused or the name is not one plain file name (empty, or holding '/' or NUL),
// so a name can never reach into another folder.
QByteArray RuntimeFilePath(const QString& name, const QString& suffix);
