// What plays after what: a lone recording and the one that replaces it, a list that
// plays nothing, and what a folder stands for.
#include "playback/Playlist.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "playback/PlaylistEntries.h"
#include "support/Ttyrec.h"

namespace {

// The titles of the entries that follow, `count` times, with "-" for none.
QStringList Titles(Playlist& list, int count, bool playedFrames = true)
{
    QStringList titles;
    for (int i = 0; i < count; ++i) {
        titles.append(list.GoesOn(playedFrames) ? list.Advance()->title : QStringLiteral("-"));
    }
    return titles;
}

TEST(Playlist, ALoneRecordingLoopsUnderItsNameUntilOneOpenedElsewhereTakesItsPlace)
{
    Playlist single({"/r/old.ttyrec"}, Playlist::Kind::Single, true);
    EXPECT_EQ(single.First()->title, QStringLiteral("old.ttyrec"));
    single.OpenedElsewhere("gone", false);  // a failed open keeps the old one
    EXPECT_EQ(Titles(single, 1), QStringList({"old.ttyrec"}));
    single.OpenedElsewhere("/r/new", true);
    EXPECT_EQ(Titles(single, 2), QStringList({"new", "new"}));

    // Started with no recording at all: the first one handed over is the one that loops.
    Playlist none({}, Playlist::Kind::Single, true);
    EXPECT_FALSE(none.First());
    none.OpenedElsewhere("/r/late", true);
    EXPECT_EQ(Titles(none, 1), QStringList({"late"}));
}

TEST(Playlist, OnlyAWholeRoundOfEntriesInARowThatPlayNothingStopsALoop)
{
    Playlist list({"a", "b", "c"}, Playlist::Kind::List, true);
    list.First();
    EXPECT_EQ(Titles(list, 2, false), QStringList({"b (2/3)", "c (3/3)"}));
    EXPECT_EQ(Titles(list, 1, true), QStringList({"a (1/3)"}));  // c played: counting restarts
    list.OpenedElsewhere("x", false);  // a failed interlude is no entry and does not count
    EXPECT_EQ(Titles(list, 1, false), QStringList({"b (2/3)"}));
    EXPECT_EQ(Titles(list, 3, false), QStringList({"c (3/3)", "a (1/3)", "-"}));
    EXPECT_FALSE(list.Advance());
}

TEST(Playlist, AFolderStandsForItsRecordingsInByteOrderLessWhatIsPlainlyNone)
{
    RecordingFolder folder;
    const QByteArray recording = TtyrecBytes({{1, 0, "frame"}});
    for (const char* name : {"b.ttyrec", "B.ttyrec", "a.ttyrec", "\xc3\xa9.ttyrec", ".hidden"}) {
        ASSERT_FALSE(folder.Write(QFile::decodeName(name), recording).isEmpty());
    }
    ASSERT_FALSE(folder.Write(QStringLiteral("empty.ttyrec"), QByteArray()).isEmpty());
    ASSERT_FALSE(folder.Write(QStringLiteral("README"), "Recordings of the night.\n").isEmpty());
    ASSERT_TRUE(QDir(folder.Path()).mkdir(QStringLiteral("sub")));
    ASSERT_FALSE(folder.Write(QStringLiteral("sub/c.ttyrec"), recording).isEmpty());
    const QByteArray dir = QFile::encodeName(folder.Path());

    // Named one by one, a file is an entry whatever it holds; a folder only its recordings.
    const QByteArrayList entries =
        PlaylistEntries({dir + "/README", dir + "/", "missing.ttyrec", dir + "/sub"});
    EXPECT_EQ(entries, QByteArrayList({dir + "/README", dir + "/B.ttyrec", dir + "/a.ttyrec",
                                       dir + "/b.ttyrec", dir + "/\xc3\xa9.ttyrec",
                                       "missing.ttyrec", dir + "/sub/c.ttyrec"}));
}

}  // namespace
