#include "playback/Playlist.h"

#include "common/Texts.h"
#include "playback/Player.h"

Playlist::Playlist(QByteArrayList paths, Kind kind, bool loop)
    : paths_(std::move(paths)), kind_(kind), loop_(loop)
{
}

Playlist::Entry Playlist::EntryAt(qsizetype place) const
{
    const QByteArray& path = paths_[place];
    QString title = FileNamePart(path);
    if (kind_ == Kind::List) {
        title += Texts::PlaylistPlace.arg(place + 1).arg(paths_.size());
    }
    return Entry{path, title};
}

std::optional<Playlist::Entry> Playlist::First()
{
    if (paths_.isEmpty()) {
        return std::nullopt;
    }
    place_ = 0;
    playingEntry_ = true;
    silentInARow_ = 0;
    return EntryAt(0);
}

std::optional<qsizetype> Playlist::NextPlace() const
{
    // Every entry has had its turn and none played a frame: another round would only
    // fail again, so the list stops here with the last failure shown.
    if (paths_.isEmpty() || silentInARow_ >= paths_.size()) {
        return std::nullopt;
    }
    const qsizetype next = place_ ? *place_ + 1 : 0;
    if (next < paths_.size()) {
        return next;
    }
    return loop_ ? std::optional<qsizetype>(0) : std::nullopt;
}

bool Playlist::GoesOn(bool playedFrames)
{
    if (playedFrames) {
        silentInARow_ = 0;
    } else if (playingEntry_) {
        ++silentInARow_;
    }
    playingEntry_ = false;
    return NextPlace().has_value();
}

std::optional<Playlist::Entry> Playlist::Advance()
{
    const std::optional<qsizetype> next = NextPlace();
    if (!next) {
        return std::nullopt;
    }
    place_ = next;
    playingEntry_ = true;
    return EntryAt(*next);
}

void Playlist::OpenedElsewhere(const QByteArray& path, bool opened)
{
    playingEntry_ = false;
    if (kind_ == Kind::Single && opened) {
        paths_ = QByteArrayList{path};
        place_ = 0;
        playingEntry_ = true;
        silentInARow_ = 0;
    }
}
