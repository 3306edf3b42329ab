#include "support/ProcessProbe.h"

#include <dirent.h>
#include <unistd.h>

#include <QFile>

namespace {
QByteArray ProcFile(pid_t pid, const char* name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}  // namespace

long ResidentKb(pid_t pid)
{
    for (const QByteArray& line : ProcFile(pid, "status").split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

double CpuSeconds(pid_t pid)
{
    // The fields after the command name, which is in parentheses and may hold anything.
    const QByteArray stat = ProcFile(pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0) {
        return -1;
    }
    // utime and stime are fields 14 and 15; the state, field 3, comes first after the name.
    const QByteArrayList fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    const double ticks = fields[11].toDouble() + fields[12].toDouble();
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

QByteArrayList OpenDescriptors(pid_t pid)
{
    const QByteArray folder = "/proc/" + QByteArray::number(pid) + "/fd";
    QByteArrayList targets;
    DIR* dir = ::opendir(folder.constData());
    if (dir == nullptr) {
        return targets;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        char target[4096];
        const QByteArray link = folder + '/' + entry->d_name;
        const ssize_t length = ::readlink(link.constData(), target, sizeof target);
        targets.append(QByteArray(target, length > 0 ? length : 0));
    }
    ::closedir(dir);
    return targets;
}
