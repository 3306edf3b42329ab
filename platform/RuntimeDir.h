#pragma once

#include <QString>

// The per-user folder for the instance lock and the hand-off socket: $XDG_RUNTIME_DIR/ombrix
// when XDG_RUNTIME_DIR is set, else a 0700 folder /tmp/ombrix-<uid>; created 0700 if missing,
// refused (empty string returned) when it is not ours or is group/world accessible.
QString RuntimeDirectory();
