// The runtime folder: the first sound place in order, and a folder someone else took is
// told on standard error and passed over for a private one that every start agrees on.
#include "platform/RuntimeDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>

#include "platform/SharedMemory.h"

namespace {

QByteArray Bytes(const QString& path)
{
    return QFile::encodeName(path);
}

QString UserId()
{
    return QString::number(::geteuid());
}

bool IsPrivateFolderOfOurs(const QString& path)
{
    struct stat info = {};
    return ::lstat(Bytes(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
}

// Points XDG_RUNTIME_DIR somewhere else for one test and puts it back afterwards.
class RuntimeDirOverride
{
public:
    explicit RuntimeDirOverride(const QByteArray& value) : saved_(qgetenv("XDG_RUNTIME_DIR"))
    {
        if (value.isNull()) {
            qunsetenv("XDG_RUNTIME_DIR");
        } else {
            qputenv("XDG_RUNTIME_DIR", value);
        }
    }
    ~RuntimeDirOverride() { qputenv("XDG_RUNTIME_DIR", saved_); }

private:
    QByteArray saved_;
};

TEST(RuntimeDir, FallsBackToPerUserFolderInTmp)
{
    const QString expected = u"/tmp/ombrix-" + UserId();
    const bool existedBefore = QFileInfo::exists(expected);
    {
        RuntimeDirOverride unset{QByteArray()};
        EXPECT_EQ(RuntimeDirectory(), expected);
    }
    {
        RuntimeDirOverride relative("relative/dir");
        EXPECT_EQ(RuntimeDirectory(), expected) << "a relative XDG_RUNTIME_DIR is ignored";
    }
    if (!existedBefore) {
        QDir().rmdir(expected);
    }
}

// Where the runtime folder is looked for, all in temporary folders: the "shared" one is
// open to all with the sticky bit, as /tmp is.
struct Places
{
    Places()
    {
        EXPECT_EQ(::chmod(Bytes(shared.path()).constData(), 01777), 0);
        places.xdgRuntimeDir = Bytes(xdg.path());
        places.sharedTemp = Bytes(shared.path());
        places.cacheHome = Bytes(cache.path());
    }
    QString Choose(QStringList* notes = nullptr)
    {
        QStringList ignored;
        return RuntimeDirectoryIn(places, notes != nullptr ? notes : &ignored);
    }
    QString XdgFolder() const { return xdg.path() + u"/ombrix"; }
    QString SharedFolder() const { return shared.path() + u"/ombrix-" + UserId(); }

    QTemporaryDir xdg;
    QTemporaryDir shared;
    QTemporaryDir cache;
    RuntimePlaces places;
};

// The ways a folder can be taken before us, each with the reason it is told by.
struct Taking
{
    const char* reason;
    std::function<bool(const QString& path)> take;
};

const Taking kTakings[] = {
    {"it belongs to user 4242",
     [](const QString& path) {
         return ::mkdir(Bytes(path).constData(), 0700) == 0 &&
                ::chown(Bytes(path).constData(), 4242, 4242) == 0;
     }},
    {"others can use it (mode 0777)",
     [](const QString& path) {
         return ::mkdir(Bytes(path).constData(), 0700) == 0 &&
                ::chmod(Bytes(path).constData(), 0777) == 0;
     }},
    {"it is a symbolic link",
     [](const QString& path) { return QFile::link(QDir::homePath(), path); }},
    {"it is not a folder",
     [](const QString& path) {
         QFile file(path);
         return file.open(QIODevice::WriteOnly);
     }},
};

TEST(RuntimeDir, ATakenFolderIsToldAndPassedOverForOneThatEveryStartAgreesOn)
{
    for (const Taking& taking : kTakings) {
        SCOPED_TRACE(taking.reason);
        Places places;
        EXPECT_EQ(places.Choose(), places.XdgFolder()) << "the first choice";
        EXPECT_TRUE(IsPrivateFolderOfOurs(places.XdgFolder())) << "made private";
        EXPECT_EQ(places.Choose(), places.XdgFolder()) << "and taken as it is";
        ASSERT_TRUE(QDir(places.XdgFolder()).removeRecursively());
        if (!taking.take(places.XdgFolder())) {
            GTEST_SKIP() << "cannot take a folder that way here (chown needs root)";
        }
        QStringList notes;
        EXPECT_EQ(places.Choose(&notes), places.SharedFolder());
        EXPECT_EQ(notes, QStringList{places.XdgFolder() + u" cannot be the runtime folder: " +
                                     QLatin1String(taking.reason) + u"; using " +
                                     places.SharedFolder() + u" instead"});

        // Both taken: a folder made with mkdtemp, the same one for every later start.
        ASSERT_TRUE(QDir(places.SharedFolder()).removeRecursively());
        ASSERT_TRUE(taking.take(places.SharedFolder()));
        notes.clear();
        const QString fallback = places.Choose(&notes);
        EXPECT_TRUE(fallback.startsWith(places.SharedFolder() + u'-')) << fallback.toStdString();
        EXPECT_TRUE(IsPrivateFolderOfOurs(fallback));
        EXPECT_EQ(notes.size(), 2);
        EXPECT_TRUE(notes.value(1).endsWith(u"; using " + fallback + u" instead"));
        EXPECT_EQ(places.Choose(), fallback);
        QFile record(places.cache.filePath(QStringLiteral("ombrix/runtime-folder")));
        ASSERT_TRUE(record.open(QIODevice::ReadOnly));
        EXPECT_EQ(record.readAll(), Bytes(fallback) + '\n');

        // Gone (a cleaned /tmp): another is made and recorded.
        ASSERT_TRUE(QDir(fallback).removeRecursively());
        const QString again = places.Choose();
        EXPECT_NE(again, fallback);
        EXPECT_TRUE(IsPrivateFolderOfOurs(again));
        EXPECT_EQ(places.Choose(), again);
        QDir(again).removeRecursively();
        QFile::remove(places.XdgFolder());
        QFile::remove(places.SharedFolder());
    }
}

TEST(RuntimeDir, NoneWhenTheRecordCannotBeKeptSafe)
{
    Places places;
    ASSERT_TRUE(kTakings[1].take(places.XdgFolder()));
    ASSERT_TRUE(kTakings[1].take(places.SharedFolder()));
    // A cache folder others can write in: they could swap the record.
    ASSERT_EQ(::chmod(Bytes(places.cache.path()).constData(), 0777), 0);
    QStringList notes;
    EXPECT_EQ(places.Choose(&notes), QString());
    ASSERT_EQ(notes.size(), 3);
    EXPECT_EQ(notes[2], places.cache.path() +
                            u"/ombrix/runtime-folder cannot be the runtime "
                            u"folder: " +
                            places.cache.path() +
                            u" above it is not safe: others can use it (mode 0777)");
}

// What the program itself does (the folder it is told of by its environment): it starts.
TEST(RuntimeDir, ATakenFolderStillGivesTheInstanceLock)
{
    QTemporaryDir xdg;
    RuntimeDirOverride override(Bytes(xdg.path()));
    const QString taken = xdg.path() + u"/ombrix";
    ASSERT_TRUE(kTakings[1].take(taken));
    const QString folder = RuntimeDirectory();
    EXPECT_FALSE(folder.isEmpty());
    EXPECT_NE(folder, taken);
    uint32_t existed = 7;
    const std::unique_ptr<SharedMemory> lock =
        OpenSharedMemory(QStringLiteral("runtime-dir-test-%1").arg(::getpid()), 4, &existed);
    ASSERT_NE(lock, nullptr) << "a start must not end with only a question mark";
    EXPECT_EQ(existed, 0u);
}

}  // namespace
