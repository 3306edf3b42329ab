#include "playback/SpoolFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>

#include "platform/RuntimeDir.h"

namespace {
UniqueFd CreateIn(const QString& folder)
{
    if (folder.isEmpty()) {
        return UniqueFd();
    }
    // Our own folder is made private; the folders above it are the system's.
    const QByteArray path = QFile::encodeName(folder);
    QDir().mkpath(QFileInfo(folder).path());
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
    return {cache + QStringLiteral("/ombrix"), RuntimeDirectory(), QDir::tempPath()};
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
