#pragma once

#include <memory>

#include "platform/UniqueFd.h"
#include "playback/FrameSource.h"

// A ttyrec recording inside a compressed stream (gzip, bzip2, xz, zstd, lz4),
// decompressed as the player reads it. What the player has decoded is appended to a
// spool file, so a late viewer's catch-up reads plain frames instead of decompressing the
// past again; past the spool's limit (or when the disk is full) it is emptied at once and
// catch-ups decompress the file. Damaged compressed data ends the recording with DecompressFailed
// after the last whole frame before the damage; a frame the damage cut short is not played.
namespace io {

// Takes the descriptor of the compressed file. Null when it holds no compressed stream
// this program decodes. spoolLimit: the most bytes the spool may hold; 0, no spool.
std::unique_ptr<FrameSource> OpenCompressedTtyrecSource(
    UniqueFd fd, int64_t spoolLimit = SourceOptions::kDefaultSpoolLimit);

}  // namespace io
