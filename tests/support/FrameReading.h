#pragma once

// Reading every frame a source or a catch-up cursor gives, to compare whole recordings.
#include <gtest/gtest.h>

#include <QByteArray>
#include <ostream>
#include <vector>

#include "playback/FrameSource.h"

struct Frame
{
    io::FrameTime time;
    QByteArray body;
    friend bool operator==(const Frame&, const Frame&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Frame& frame)
    {
        return out << frame.time.seconds << "s " << frame.time.microseconds << "us \""
                   << frame.body.toStdString() << '"';
    }
};

// The frames, and how the reading ended.
struct Reading
{
    std::vector<Frame> frames;
    io::FrameReadStatus end = io::FrameReadStatus::Frame;
};

// Reads to the end; each header's length must be its body's.
inline Reading ReadAll(FrameCursor& cursor)
{
    Reading reading;
    io::FrameHeader header;
    QByteArray body;
    while ((reading.end = cursor.Next(header, body)) == io::FrameReadStatus::Frame) {
        EXPECT_EQ(header.length, body.size());
        reading.frames.push_back({header.time, body});
    }
    return reading;
}
