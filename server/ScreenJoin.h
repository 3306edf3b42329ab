#pragma once

#include <QByteArray>
#include <QSet>
#include <QSize>
#include <QString>
#include <functional>
#include <optional>

#include "server/ViewerConnection.h"
#include "server/screen/ScreenModel.h"

// Newcomers who join on the current screen: the screen model of the playback, fed once
// with every played frame, and its repaint in each viewer's form, built once per moment
// and shared by everyone who joins before the next frame.
//
// Where the model cannot stand for what the recording did, a newcomer is to get the
// replay instead; the reason goes to standard error once per recording and reason.
class ScreenJoin
{
public:
    // Recordings that give no size of their own are played on `defaultSize`.
    explicit ScreenJoin(QSize defaultSize);

    // A recording starts: a blank screen of the size it gives, else the default one.
    void StartRecording(std::optional<QSize> recordingSize);
    // The bytes of a played frame, as recorded.
    void Feed(const QByteArray& recorded);

    // The bytes that bring a newcomer of this encoding to the current screen; null when
    // nothing has played yet (the newcomer needs nothing) or when the model cannot repaint
    // exactly (the newcomer needs the replay; see CannotRepaint). The bytes stay valid until
    // the next Feed or StartRecording.
    const QByteArray* Repaint(ViewerConnection::Encoding encoding);
    // True when newcomers must get the replay; the reason has then been told once.
    bool CannotRepaint();

    // The size of the screen now, which pages are to show.
    QSize Size() const { return QSize(model_.Cols(), model_.Rows()); }
    // Called during Feed when the recording resizes its terminal.
    std::function<void(QSize size)> OnResize;

private:
    void TellReasonOnce();

    QSize defaultSize_;
    ScreenModel model_;
    bool fed_ = false;
    QByteArray telnetRepaint_;
    bool telnetRepaintValid_ = false;
    QSet<QString> reasonsTold_;  // for the recording playing
};
