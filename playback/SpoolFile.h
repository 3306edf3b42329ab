#pragma once

#include <QByteArray>
#include <QStringList>

#include "platform/UniqueFd.h"

// An unlinked file of the user's own (mode 0600) that vanishes with its last descriptor,
// for bytes decoded once and read again many times. Tried in each folder in turn: the
// cache folder, then the temporary folder. A folder on a file system kept in memory
// (tmpfs, ramfs) is passed over: there a spool would hold memory, which is what reading
// the file again saves. Invalid when no folder takes it.
UniqueFd CreateSpoolFile();
// The same, in the given folders only (each created 0700 when missing).
UniqueFd CreateSpoolFile(const QStringList& folders);
// $XDG_CACHE_HOME/ombrix (or ~/.cache/ombrix), then the temporary folder. Never the
// runtime folder, which is usually memory.
QStringList SpoolFolders();
