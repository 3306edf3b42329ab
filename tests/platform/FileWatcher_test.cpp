// The file watcher on real inotify: writes to the file watched, and its name created, moved
// over or deleted in its folder, are told; other files' names and the file it watched
// before are not.
#include "platform/FileWatcher.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Watched
{
    Watched() : watcher([this](const FileWatcher::Changes& c) { changes.push_back(c); }) {}

    // The changes told within a moment of what was done, merged.
    FileWatcher::Changes Next()
    {
        QTest::qWait(100);
        FileWatcher::Changes merged;
        for (const FileWatcher::Changes& c : changes) {
            merged.written = merged.written || c.written;
            merged.pathChanged = merged.pathChanged || c.pathChanged;
        }
        changes.clear();
        return merged;
    }

    std::vector<FileWatcher::Changes> changes;
    FileWatcher watcher;
};

void Append(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write(bytes);
}

TEST(FileWatcher, WritesAndTheNameChangingAreToldAndNothingElse)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("live.ttyrec"));
    Append(path, "start");
    Watched w;
    QString error;
    ASSERT_TRUE(w.watcher.Watch(QFile::encodeName(path), &error)) << error.toStdString();
    using Changes = FileWatcher::Changes;

    Append(path, "more");
    EXPECT_EQ(w.Next(), (Changes{.written = true}));
    // Names that only begin like it are other files.
    Append(path + QStringLiteral(".new"), "other");
    Append(folder.filePath(QStringLiteral("live")), "other");
    EXPECT_EQ(w.Next(), Changes{});

    // Renamed over: the name changed; the file that had it is no longer watched.
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::Append | QIODevice::Unbuffered));
    ASSERT_EQ(::rename(QFile::encodeName(path + QStringLiteral(".new")).constData(),
                       QFile::encodeName(path).constData()),
              0);
    EXPECT_EQ(w.Next(), (Changes{.pathChanged = true}));
    EXPECT_TRUE(w.watcher.WatchFileAtPath());
    old.write("to the old one");
    EXPECT_EQ(w.Next(), Changes{});
    Append(path, "to the new one");
    EXPECT_EQ(w.Next(), (Changes{.written = true}));

    ASSERT_TRUE(QFile::remove(path));
    EXPECT_EQ(w.Next(), (Changes{.pathChanged = true}));
    EXPECT_FALSE(w.watcher.WatchFileAtPath());
    // Created again: only the name tells, until the new file is watched.
    Append(path, "back");
    EXPECT_EQ(w.Next(), (Changes{.pathChanged = true}));
    EXPECT_TRUE(w.watcher.WatchFileAtPath());

    FileWatcher nowhere([](const Changes&) {});
    EXPECT_FALSE(nowhere.Watch(QFile::encodeName(folder.filePath(QStringLiteral("no/x"))), &error));
    EXPECT_FALSE(error.isEmpty());
}

}  // namespace
