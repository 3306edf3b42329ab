#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

// Recordings made on the fly for tests.
struct TestFrame
{
    int32_t seconds = 0;
    int32_t microseconds = 0;
    QByteArray body;
};

// The 12-byte little-endian header of a frame.
QByteArray TtyrecHeader(int32_t seconds, int32_t microseconds, int32_t length);
// Frames one after another, each header followed by its body.
QByteArray TtyrecBytes(const std::vector<TestFrame>& frames);
// Writes bytes to a file; returns false on failure.
bool WriteFile(const QString& path, const QByteArray& bytes);
// Every 0xFF doubled, written the simple way, to check the real escaping against.
QByteArray NaiveEscape(const QByteArray& body);
