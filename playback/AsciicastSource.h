#pragma once

#include <QByteArrayView>
#include <memory>

#include "platform/UniqueFd.h"
#include "playback/FrameSource.h"

// An asciicast recording (v1, v2 or v3), its output events played as frames. A line or
// object that does not parse ends it with FormatError after the frames before it.
namespace io {

// Takes the descriptor of a file whose first bytes pass asciicast::LooksLikeAsciicast.
// A file that then turns out to be no asciicast opens, and its first read is the
// FormatError. Null only when the platform refuses a descriptor.
std::unique_ptr<FrameSource> OpenAsciicastSource(UniqueFd fd);
// The same for a v2 or v3 file still being written, whose header line is whole: the
// player's reads wait (FrameReadStatus::Waiting) for a line that has no line break yet.
// Catch-up cursors read only the frames played, which are whole. Any other file opens,
// and its first read is the FormatError.
std::unique_ptr<FrameSource> OpenGrowingAsciicastSource(UniqueFd fd);

}  // namespace io
