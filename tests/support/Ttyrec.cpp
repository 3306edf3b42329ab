#include "support/Ttyrec.h"

#include <fcntl.h>

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

void AppendTtyrecFrame(QByteArray& out, int32_t seconds, int32_t microseconds, QByteArrayView body)
{
    AppendLittleEndian(out, seconds);
    AppendLittleEndian(out, microseconds);
    AppendLittleEndian(out, static_cast<int32_t>(body.size()));
    out.append(body);
}

QByteArray TtyrecBytes(const std::vector<TestFrame>& frames)
{
    QByteArray bytes;
    for (const TestFrame& frame : frames) {
        AppendTtyrecFrame(bytes, frame.seconds, frame.microseconds, frame.body);
    }
    return bytes;
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

UniqueFd OpenForReading(const QString& path)
{
    return UniqueFd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
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

QString RecordingFolder::Write(const QString& name, const QByteArray& bytes)
{
    const QString path = dir_.filePath(name);
    return WriteFile(path, bytes) ? path : QString();
}

QString RecordingFolder::WriteNew(const QString& suffix, const QByteArray& bytes)
{
    return Write(QStringLiteral("r%1").arg(++written_) + suffix, bytes);
}
