#pragma once

#include <QByteArray>
#include <cstdint>
#include <deque>
#include <memory>

#include "playback/FrameSource.h"

// What a relay has received of the leader's current recording, broadcast by broadcast: the
// catch-up that its newcomers read, as a leader's newcomers read the file. It keeps at most
// `ceiling` bytes, as the stream does; past that the oldest broadcasts go, and a newcomer
// catches up from the oldest it still holds.
class RelayedRecording
{
public:
    enum class Arrival
    {
        Appended,   // the next one: broadcast it
        Duplicate,  // already held: ignore it
        Gap,        // one or more before it are missing
    };

    explicit RelayedRecording(qsizetype ceiling) : ceiling_(ceiling) {}

    // A new recording: what was held goes; cursors already handed out keep reading it.
    void Start();
    // Places the broadcast numbered seq (0 for a recording's first).
    Arrival Add(uint64_t seq, const QByteArray& bytes);
    // Takes the broadcast as the next whatever its number, after a gap that cannot be
    // filled (the stream no longer holds it).
    void Accept(uint64_t seq, const QByteArray& bytes);

    // The number of the broadcast expected next.
    uint64_t NextSeq() const { return next_; }
    // Every broadcast taken since Start, held or let go.
    int64_t Count() const { return count_; }
    qsizetype HeldBytes() const { return log_ ? log_->bytes : 0; }
    // A cursor over what is held now and what is added later, each broadcast as a frame.
    std::unique_ptr<FrameCursor> NewCursor() const;

private:
    struct Log
    {
        std::deque<QByteArray> blocks;
        int64_t firstIndex = 0;  // the index of blocks.front() among all taken
        qsizetype bytes = 0;
    };
    class Cursor;

    void Append(const QByteArray& bytes);

    qsizetype ceiling_;
    std::shared_ptr<Log> log_ = std::make_shared<Log>();
    uint64_t next_ = 0;
    int64_t count_ = 0;
};
