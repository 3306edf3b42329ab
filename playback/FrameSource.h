#pragma once

#include <QByteArray>
#include <QSize>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

#include "playback/FrameReader.h"
#include "playback/io.h"

// Where a recording's frames come from, whatever its format (raw ttyrec, compressed
// ttyrec, asciicast). The player reads the source itself; each late viewer reads the
// frames it missed through a catch-up cursor of its own, which sees exactly the frames the
// player saw, with the same bytes, even after the player has closed the source.

// Reads frames one at a time, from the first.
class FrameCursor
{
public:
    virtual ~FrameCursor() = default;
    // Reads the next frame: on Frame, header holds its time and length and body its bytes
    // as recorded, as io::ReadFrame gives them (body's previous block is reused when nobody
    // shares it). Any other status ends the cursor; header.length is then the length the
    // failure texts show.
    virtual io::FrameReadStatus Next(io::FrameHeader& header, QByteArray& body) = 0;
    // Lets go of read-ahead memory while the cursor waits (a viewer that does not drain
    // its catch-up); the next Next() takes it again. Optional.
    virtual void ReleaseBuffers() {}
    // The memory its read-ahead holds now, for the budget of what viewers hold. Every
    // cursor that reads ahead reports it.
    virtual qsizetype HeldBytes() const { return 0; }
};

// One open recording. Next() is the player's cursor.
class FrameSource : public FrameCursor
{
public:
    // A cursor from the recording's first frame. It may be asked for only the frames the
    // player has already read through Next(), and it stays valid when the source is
    // destroyed. Null when the platform refuses (no descriptor left); the caller then
    // does without a catch-up.
    virtual std::unique_ptr<FrameCursor> NewCatchUpCursor() = 0;
    // The terminal size the recording states (an asciicast header), if any.
    virtual std::optional<QSize> TerminalSize() const { return std::nullopt; }
    // The longest gap the recording itself asks for (an asciicast header's
    // idle_time_limit), in seconds, if any.
    virtual std::optional<double> IdleTimeLimit() const { return std::nullopt; }
};

// How recordings are opened.
struct SourceOptions
{
    // A few hours of the busiest terminal output; real recordings decode to far less.
    static constexpr int64_t kDefaultSpoolLimit = 2ll * 1024 * 1024 * 1024;
    // The most decoded bytes a compressed recording keeps on disk for catch-ups; past it,
    // catch-ups decompress the file. 0: no spool at all.
    int64_t spoolLimit = kDefaultSpoolLimit;
};

// Opens the recording at path (the platform's bytes) and picks its format from its
// first bytes, never from its name. Null when it cannot be opened, after one line on
// standard error as io::OpenFileOrReport writes it; the caller shows "オープン失敗".
std::unique_ptr<FrameSource> OpenFrameSource(const QByteArray& path,
                                             const SourceOptions& options = {});
// None when the file opens as a recording and its first frame reads whole, which an
// empty file or a text never does; else why not, in a few words. Prints nothing: it
// only looks.
std::optional<QString> WhyNoRecording(const QByteArray& path);
