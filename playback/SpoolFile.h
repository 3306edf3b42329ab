#pragma once

#include <QByteArray>
#include <QStringList>

#include "platform/UniqueFd.h"

// An unlinked file of the user's own (mode 0600) that vanishes with its last descriptor,
// for bytes decoded once and read again many times. Tried in each folder in turn: the
// cache folder, the runtime folder, the temporary folder. Invalid when none takes it.
UniqueFd CreateSpoolFile();
// The same, in the given folders only (each created 0700 when missing).
UniqueFd CreateSpoolFile(const QStringList& folders);
// $XDG_CACHE_HOME/ombrix (or ~/.cache/ombrix), the runtime folder, the temporary folder.
QStringList SpoolFolders();
