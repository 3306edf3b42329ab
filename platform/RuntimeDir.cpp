#include "platform/RuntimeDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <cerrno>

namespace {

// The folder is where other processes find our lock and our socket, so it must be a real
// folder (not a link someone planted), owned by us and closed to everybody else.
bool IsPrivateFolder(const QByteArray& path)
{
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0) {
        return false;
    }
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IRWXG | S_IRWXO)) == 0 && (info.st_mode & S_IRWXU) == S_IRWXU;
}

}  // namespace

QString RuntimeDirectory()
{
    // A relative XDG_RUNTIME_DIR is invalid by the XDG rules and would make the folder
    // depend on the working directory, so it is ignored like an unset one.
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    QByteArray path;
    if (!xdg.isEmpty() && xdg.startsWith('/')) {
        path = xdg + "/ombrix";
    } else {
        // A fixed place rather than TMPDIR, so every start of the same user finds the same
        // folder whatever its environment says.
        path = "/tmp/ombrix-" + QByteArray::number(static_cast<qulonglong>(::geteuid()));
    }
    if (::mkdir(path.constData(), S_IRWXU) != 0 && errno != EEXIST) {
        return {};
    }
    if (!IsPrivateFolder(path)) {
        return {};
    }
    return QFile::decodeName(path);
}

QByteArray RuntimeFilePath(const QString& name, const QString& suffix)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QChar(0))) {
        return {};
    }
    const QString folder = RuntimeDirectory();
    if (folder.isEmpty()) {
        return {};
    }
    return QFile::encodeName(folder + QLatin1Char('/') + name + suffix);
}
