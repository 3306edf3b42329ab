#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

// Reads the frames a late viewer has missed: from the start of the recording up to the
// pending frame, through a cursor of its own (positioned reads on the descriptor), so
// the player's stream, its current frame and its clock are never disturbed.
class CatchUpReader
{
public:
    // fd: the recording's descriptor, which must stay open while this reader is used.
    // pendingEnd: the offset right after the pending frame, the player's read position.
    CatchUpReader(int fd, int64_t pendingEnd);

    // Appends the escaped body of the next frame before the pending one to out. Returns
    // false when the pending frame (or anything that does not read as a whole frame) is
    // next, and then appends nothing.
    bool AppendNextFrame(QByteArray& out);

    // The player moved on: frames up to this offset may now be read too.
    void SetPendingEnd(int64_t pendingEnd) { pendingEnd_ = pendingEnd; }

private:
    bool Read(char* into, size_t count);

    int fd_;
    int64_t pendingEnd_;
    int64_t offset_ = 0;  // of the next frame's header
    std::vector<char> buffer_;
    int64_t bufferOffset_ = 0;  // file offset of buffer_[0]
    size_t bufferFill_ = 0;
    size_t bufferPos_ = 0;
};
