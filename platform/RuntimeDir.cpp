#include "platform/RuntimeDir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Texts.h"
#include "platform/UniqueFd.h"

namespace {

QString SystemText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString Octal(mode_t mode)
{
    return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0'));
}

QByteArray UserId()
{
    return QByteArray::number(static_cast<qulonglong>(::geteuid()));
}

// Why the folder cannot hold our lock and socket; empty when it can. It is where other
// processes find them, so it must be a real folder (not a link someone planted), owned by
// us and closed to everybody else.
QString FolderFault(const QByteArray& path)
{
    struct stat info = {};
    if (::lstat(path.constData(), &info) != 0) {
        return Texts::FolderUnusable.arg(SystemText(errno));
    }
    if (S_ISLNK(info.st_mode)) {
        return Texts::FolderIsLink;
    }
    if (!S_ISDIR(info.st_mode)) {
        return Texts::FolderIsNoFolder;
    }
    if (info.st_uid != ::geteuid()) {
        return Texts::FolderOfAnotherUser.arg(info.st_uid);
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return Texts::FolderOpenToOthers.arg(Octal(info.st_mode));
    }
    if ((info.st_mode & S_IRWXU) != S_IRWXU) {
        return Texts::FolderNotWritable.arg(Octal(info.st_mode));
    }
    return {};
}

// Makes the folder 0700 when it is missing; why it cannot serve, or empty.
QString MakePrivateFolder(const QByteArray& path)
{
    if (::mkdir(path.constData(), S_IRWXU) != 0 && errno != EEXIST) {
        return Texts::FolderNotMade.arg(SystemText(errno));
    }
    return FolderFault(path);
}

// A folder above ours must not let anyone else replace what is in it: it is the user's or
// root's, and nobody else may write in it, unless it is root's with the sticky bit (/tmp),
// where nobody may move or remove what others made.
QString AncestorFault(const QByteArray& path)
{
    struct stat info = {};
    if (::stat(path.constData(), &info) != 0) {
        return Texts::FolderUnusable.arg(SystemText(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return Texts::FolderIsNoFolder;
    }
    if (info.st_uid != ::geteuid() && info.st_uid != 0) {
        return Texts::FolderOfAnotherUser.arg(info.st_uid);
    }
    const bool sticky = info.st_uid == 0 && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
        return Texts::FolderOpenToOthers.arg(Octal(info.st_mode));
    }
    return {};
}

// The first folder on the way to path (itself included) that is not safe, and why; empty
// when all of them are.
QString ChainFault(const QByteArray& path)
{
    char resolved[PATH_MAX];
    if (::realpath(path.constData(), resolved) == nullptr) {
        return Texts::FolderUnusable.arg(SystemText(errno));
    }
    for (QByteArray at(resolved);;) {
        const QString fault = AncestorFault(at);
        if (!fault.isEmpty()) {
            return Texts::FolderUnderUnsafe.arg(QFile::decodeName(at), fault);
        }
        if (at == "/") {
            return {};
        }
        const qsizetype slash = at.lastIndexOf('/');
        at.truncate(slash > 0 ? slash : 1);
    }
}

// Reads the recorded folder; empty when there is none.
QByteArray ReadRecord(int fd)
{
    char bytes[PATH_MAX];
    ssize_t got;
    do {
        got = ::pread(fd, bytes, sizeof bytes, 0);
    } while (got < 0 && errno == EINTR);
    return got > 0 ? QByteArray(bytes, got).trimmed() : QByteArray();
}

// The fallback folder: made with mkdtemp in the shared temporary folder, and its name kept
// in the user's cache folder, so every later start takes the same one. Starts at the same
// moment take turns on the record's lock, so they agree. Empty, with the reason in fault,
// when no such folder can be had.
QByteArray RecordedFolder(const RuntimePlaces& places, QString* fault)
{
    if (!places.cacheHome.startsWith('/')) {
        *fault = Texts::FolderNotAbsolute;
        return {};
    }
    QDir().mkpath(QFile::decodeName(places.cacheHome));
    const QByteArray recordFolder = places.cacheHome + "/ombrix";
    if (*fault = ChainFault(places.cacheHome); !fault->isEmpty()) {
        return {};
    }
    if (*fault = MakePrivateFolder(recordFolder); !fault->isEmpty()) {
        *fault = Texts::FolderUnderUnsafe.arg(QFile::decodeName(recordFolder), *fault);
        return {};
    }
    const QByteArray recordPath = recordFolder + "/runtime-folder";
    UniqueFd record(::open(recordPath.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                           S_IRUSR | S_IWUSR));
    int rc = record.Valid() ? 0 : -1;
    while (rc == 0 && (rc = ::flock(record.Get(), LOCK_EX)) != 0 && errno == EINTR) {
        rc = 0;
    }
    if (rc != 0) {
        *fault = Texts::FolderUnusable.arg(SystemText(errno));
        return {};
    }
    const QByteArray recorded = ReadRecord(record.Get());
    if (!recorded.isEmpty() && FolderFault(recorded).isEmpty()) {
        return recorded;
    }
    QByteArray made = places.sharedTemp + "/ombrix-" + UserId() + "-XXXXXX";
    if (::mkdtemp(made.data()) == nullptr) {
        *fault = Texts::FolderNotMade.arg(SystemText(errno));
        return {};
    }
    const QByteArray line = made + '\n';
    if (::ftruncate(record.Get(), 0) != 0 ||
        ::pwrite(record.Get(), line.constData(), static_cast<size_t>(line.size()), 0) !=
            line.size()) {
        // Unrecorded, the next start would make another and be first beside us.
        *fault = Texts::FolderUnusable.arg(SystemText(errno));
        ::rmdir(made.constData());
        return {};
    }
    return made;
}

// The folders to try before the fallback, each with why it was passed over (if it was).
struct Candidate
{
    QByteArray path;
    QString fault;
};

std::vector<Candidate> Candidates(const RuntimePlaces& places)
{
    std::vector<Candidate> candidates;
    if (!places.xdgRuntimeDir.isEmpty()) {
        // A relative XDG_RUNTIME_DIR is invalid by the XDG rules, and would make the folder
        // depend on the working directory.
        const QByteArray path = places.xdgRuntimeDir + "/ombrix";
        QString fault;
        if (!places.xdgRuntimeDir.startsWith('/')) {
            fault = Texts::FolderNotAbsolute;
        } else if (const QString base = AncestorFault(places.xdgRuntimeDir); !base.isEmpty()) {
            fault = Texts::FolderUnderUnsafe.arg(QFile::decodeName(places.xdgRuntimeDir), base);
        }
        candidates.push_back({path, fault});
    }
    // A fixed place rather than TMPDIR, so every start of the same user finds the same
    // folder whatever its environment says.
    candidates.push_back({places.sharedTemp + "/ombrix-" + UserId(), QString()});
    return candidates;
}

}  // namespace

QString RuntimeDirectoryIn(const RuntimePlaces& places, QStringList* notes)
{
    std::vector<Candidate> passed;
    QByteArray chosen;
    for (Candidate& candidate : Candidates(places)) {
        if (candidate.fault.isEmpty()) {
            candidate.fault = MakePrivateFolder(candidate.path);
        }
        if (candidate.fault.isEmpty()) {
            chosen = candidate.path;
            break;
        }
        passed.push_back(candidate);
    }
    if (chosen.isEmpty()) {
        QString fault;
        chosen = RecordedFolder(places, &fault);
        if (chosen.isEmpty()) {
            passed.push_back({places.cacheHome + "/ombrix/runtime-folder", fault});
        }
    }
    for (const Candidate& candidate : passed) {
        const QString folder = QFile::decodeName(candidate.path);
        notes->append(chosen.isEmpty() ? Texts::RuntimeFolderRefused.arg(folder, candidate.fault)
                                       : Texts::RuntimeFolderReplaced.arg(
                                             folder, candidate.fault, QFile::decodeName(chosen)));
    }
    return QFile::decodeName(chosen);
}

QString RuntimeDirectory()
{
    RuntimePlaces places;
    places.xdgRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    places.cacheHome = qgetenv("XDG_CACHE_HOME");
    if (!places.cacheHome.startsWith('/')) {
        places.cacheHome = QFile::encodeName(QDir::homePath()) + "/.cache";
    }
    QStringList notes;
    const QString folder = RuntimeDirectoryIn(places, &notes);
    // Asked for by every part that needs the folder: each note is told once.
    static QSet<QString> told;
    for (const QString& note : notes) {
        if (!told.contains(note)) {
            told.insert(note);
            std::fprintf(stderr, "ombrix: %s\n", note.toLocal8Bit().constData());
            std::fflush(stderr);
        }
    }
    return folder;
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
