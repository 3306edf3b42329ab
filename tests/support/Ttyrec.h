#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <vector>

#include "platform/UniqueFd.h"

// Recordings made on the fly, for the tests and the benchmarks.
struct TestFrame
{
    int32_t seconds = 0;
    int32_t microseconds = 0;
    QByteArray body;
};

// The 12-byte little-endian header of a frame.
QByteArray TtyrecHeader(int32_t seconds, int32_t microseconds, int32_t length);
// Appends one frame: its header, then its body.
void AppendTtyrecFrame(QByteArray& out, int32_t seconds, int32_t microseconds, QByteArrayView body);
// Frames one after another, each header followed by its body.
QByteArray TtyrecBytes(const std::vector<TestFrame>& frames);
// Writes bytes to a file; returns false on failure.
bool WriteFile(const QString& path, const QByteArray& bytes);
// The file opened for reading, close-on-exec, as a recording is opened.
UniqueFd OpenForReading(const QString& path);
// Every 0xFF doubled, written the simple way, to check the real escaping against.
QByteArray NaiveEscape(const QByteArray& body);

// A temporary folder for recordings, removed with the object.
class RecordingFolder
{
public:
    QString Path() const { return dir_.path(); }
    QString FilePath(const QString& name) const { return dir_.filePath(name); }
    // Writes the bytes as the named file; returns its path, or an empty one on failure.
    QString Write(const QString& name, const QByteArray& bytes);
    // The same under a name not used before, ending in the suffix (".cast").
    QString WriteNew(const QString& suffix, const QByteArray& bytes);

private:
    QTemporaryDir dir_;
    int written_ = 0;
};
