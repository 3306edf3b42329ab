#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>
#include <optional>

// What plays after what on a channel that goes on by itself: the entries, the place of
// the one playing, whether the list starts over at its end, and how many entries in a row
// have played nothing, so that a list with nothing playable stops instead of spinning.
// It opens nothing; the player asks it at the end of each recording.
class Playlist
{
public:
    enum class Kind
    {
        // One recording, as the command line names it without --playlist: a recording
        // opened from elsewhere takes its place, and its title is its name.
        Single,
        // A list of recordings: a recording opened from elsewhere plays in between, and
        // each entry's title carries its place, "name (3/12)".
        List,
    };

    struct Entry
    {
        QByteArray path;  // the platform's bytes
        QString title;    // what the file panel and the pages show while it plays
    };

    Playlist(QByteArrayList paths, Kind kind, bool loop);

    // The entry to start with; none for an empty list.
    std::optional<Entry> First();
    // The recording playing has ended, or failed to open (`playedFrames` false): true
    // when an entry follows it, the next after the current place, or the first again
    // after the last when the list loops. False at the end of a list that does not loop,
    // and once every entry in a row has played nothing.
    bool GoesOn(bool playedFrames);
    // Moves on to the entry that follows, which plays from now on; none when none does.
    // Asked when it starts, after the gap, so that a recording opened elsewhere meanwhile
    // does not skip it.
    std::optional<Entry> Advance();
    // A recording was opened from elsewhere (a hand-off, the open dialog, a drop);
    // `opened` says whether it could be. A list goes on after it from its current place;
    // a single recording that opened becomes the one.
    void OpenedElsewhere(const QByteArray& path, bool opened);

private:
    Entry EntryAt(qsizetype place) const;
    // The place after the current one; none when the list ends there.
    std::optional<qsizetype> NextPlace() const;

    QByteArrayList paths_;
    Kind kind_;
    bool loop_;
    // The entry playing, or the last that did; none before the first.
    std::optional<qsizetype> place_;
    // True while the recording playing is the entry at place_, not one opened elsewhere.
    bool playingEntry_ = false;
    // Entries in a row that played nothing; a whole list of them ends it.
    qsizetype silentInARow_ = 0;
};
