#include "playback/SpoolFile.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>

namespace {
bool InMemory(const QByteArray& path)
{
    struct statfs info
    {
    };
    return ::statfs(path.constData(), &info) == 0 &&
           (info.f_type == TMPFS_MAGIC || info.f_type == RAMFS_MAGIC);
}

UniqueFd CreateIn(const QString& folder)
{
    if (folder.isEmpty()) {
        return UniqueFd();
    }
    // Our own folder is made private; the folders above it are the system's.
    const QByteArray path = QFile::encodeName(folder);
    const QString parent = QFileInfo(folder).path();
    QDir().mkpath(parent);
    if (InMemory(QFile::encodeName(parent))) {
        return UniqueFd();
    }
    ::mkdir(path.constData(), 0700);
    UniqueFd fd(::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.Valid()) {
        return fd;
    }
    // Not every file system makes unnamed files: a named one, unlinked at once.
    QByteArray pattern = path + "/spool-XXXXXX";
    fd.Reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.Valid()) {
        ::unlink(pattern.constData());
    }
    return fd;
}
}  // namespace

QStringList SpoolFolders()
{
    QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
    if (!QDir::isAbsolutePath(cache)) {
        cache = QDir::homePath() + QStringLiteral("/.cache");
    }
    return {cache + QStringLiteral("/ombrix"), QDir::tempPath()};
}

UniqueFd CreateSpoolFile(const QStringList& folders)
{
    for (const QString& folder : folders) {
        UniqueFd fd = CreateIn(folder);
        if (fd.Valid()) {
            return fd;
        }
    }
    return UniqueFd();
}

UniqueFd CreateSpoolFile()
{
    return CreateSpoolFile(SpoolFolders());
}
