#include "support/Ttyrec.h"

#include <QFile>

namespace {
void AppendLittleEndian(QByteArray& out, int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) {
        out.append(static_cast<char>((bits >> shift) & 0xff));
    }
}
}  // namespace

QByteArray TtyrecHeader(int32_t seconds, int32_t microseconds, int32_t length)
{
    QByteArray header;
    AppendLittleEndian(header, seconds);
    AppendLittleEndian(header, microseconds);
    AppendLittleEndian(header, length);
    return header;
}

QByteArray TtyrecBytes(const std::vector<TestFrame>& frames)
{
    QByteArray bytes;
    for (const TestFrame& frame : frames) {
        bytes += TtyrecHeader(frame.seconds, frame.microseconds,
                              static_cast<int32_t>(frame.body.size()));
        bytes += frame.body;
    }
    return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray NaiveEscape(const QByteArray& body)
{
    QByteArray out;
    for (char byte : body) {
        out.append(byte);
        if (byte == '\xff') {
            out.append(byte);
        }
    }
    return out;
}
