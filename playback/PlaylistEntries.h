#pragma once

#include <QByteArrayList>

// The recordings a playlist's arguments stand for, in order. A folder stands for the
// files in it (not its subfolders, not its hidden files), in the byte order of their
// names, less those that are plainly no recording: an empty file, a text, anything whose
// first frame does not read (each named on standard error). Any other argument stands for
// itself, even one that does not open: it is a bad entry, reported when its turn comes.
QByteArrayList PlaylistEntries(const QByteArrayList& arguments);
