#pragma once

#include <QByteArray>
#include <vector>

#include "playback/ByteInput.h"

// Splits a byte input into lines, holding at most one line of a bounded length, so a
// huge text recording is never held whole and a hostile one without line breaks cannot
// exhaust memory.
class LineReader
{
public:
    enum class Status
    {
        Line,     // line holds the next line, without its line break
        End,      // no bytes are left
        TooLong,  // the next line is longer than the bound
        Failed,   // the input could not be read
        Partial,  // growing input only: the next line has no line break yet
    };

    enum class Input
    {
        Whole,    // the input is all there: its end ends the last line
        Growing,  // a file still being written: a line counts once its line break is there
    };

    // The input must outlive the reader.
    LineReader(io::ByteInput& input, qsizetype maxLineLength, Input kind = Input::Whole);
    Status Next(QByteArray& line);
    // The memory its block of read-ahead holds.
    size_t BufferCapacity() const { return buffer_.capacity(); }

private:
    bool Fill();

    io::ByteInput& input_;
    qsizetype maxLineLength_;
    Input kind_;
    std::vector<char> buffer_;
    size_t begin_ = 0;  // first byte not yet returned
    size_t end_ = 0;    // one past the last byte read
    bool ended_ = false;
};
