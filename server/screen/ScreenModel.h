#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "playback/TerminalSize.h"
#include "server/screen/Charsets.h"
#include "server/screen/Doubts.h"
#include "server/screen/EscapeScanner.h"
#include "server/screen/Pen.h"
#include "server/screen/TerminalModes.h"
#include "server/screen/VtermScreen.h"

class RepaintWriter;

// What a terminal shows after the frames played so far, and the bytes that make a
// freshly opened terminal of the same size show exactly that: a late viewer's join.
//
// Fed once with every played frame's recorded bytes, whatever the number of viewers.
// Its cost is per byte fed and its memory is fixed by the screen size: it keeps the
// screen (and the primary screen behind the alternate one), never the history.
//
// libvterm (VtermScreen) places the characters; this class reads the stream first
// (EscapeScanner) and keeps what libvterm does not: the attributes it drops, the
// character sets, the modes, the saved cursors, the scroll region, the tab stops.
// Where terminals disagree on what the recording did, or the model cannot follow it,
// it says so instead of guessing: a wrong screen is worse than a slow join.
class ScreenModel : private EscapeScanner::Events
{
public:
    static constexpr int kDefaultCols = kDefaultTerminalColumns;
    static constexpr int kDefaultRows = kDefaultTerminalRows;
    // The largest size a terminal is taken to show; larger ones are cut to it. At least
    // two columns: libvterm fails on a wide character in one.
    static constexpr int kMaxCols = kMaxTerminalSide;
    static constexpr int kMaxRows = kMaxTerminalSide;
    static constexpr int kMinCols = 2;

    explicit ScreenModel(int cols = kDefaultCols, int rows = kDefaultRows);
    ~ScreenModel() override;
    ScreenModel(const ScreenModel&) = delete;
    ScreenModel& operator=(const ScreenModel&) = delete;

    // Starts afresh with a blank screen of this size (clamped to kMin..kMax): a new
    // recording. The size comes from the recording where it gives one.
    void Reset(int cols, int rows);
    // Takes the recorded bytes of the next played frame (as recorded: no telnet
    // escaping). A frame may end anywhere, inside a character or a sequence.
    void Feed(QByteArrayView bytes);

    int Cols() const { return screen_->Cols(); }
    int Rows() const { return screen_->Rows(); }
    // Called, during Feed, when the recording resizes its terminal (CSI 8 ; rows ; cols t),
    // with the new size, so that the caller can tell its viewers.
    std::function<void(int cols, int rows)> OnResize;

    // True when Repaint shows exactly what a viewer who watched from the start sees.
    bool CanRepaint() const { return Blocking().isEmpty(); }
    // Empty when CanRepaint; else "cannot repaint exactly, because ...".
    QString CannotRepaintReason() const;
    // The bytes that make a terminal of this size, just opened, show the screen as it
    // stands, in the same modes, so that the next frame lands as it did for everyone.
    // Built once and kept until the next Feed or Reset. Meaningful only when CanRepaint.
    const QByteArray& Repaint();

private:
    // A cursor kept for a later restore: by DECSC (ESC 7, CSI s, CSI ? 1048 h), or by
    // entering the alternate screen with CSI ? 1049 h.
    struct SavedCursor
    {
        bool valid = false;    // false: never saved since the reset
        bool known = true;     // the position is certain
        bool penKnown = true;  // the pen is certain
        uint64_t order = 0;
        VtermScreen::Position at;
        Pen pen;
        Charsets charsets;
        bool origin = false;
        bool SameAs(const SavedCursor& other) const
        {
            return at == other.at && pen == other.pen && charsets == other.charsets &&
                   origin == other.origin;
        }
    };

    // EscapeScanner::Events.
    void OnText(const char* bytes, qsizetype size) override;
    void OnControl(uchar byte) override;
    void OnEscape(const EscapeSequence& escape) override;
    void OnCsi(const CsiSequence& csi) override;
    void OnString(char introducer, QByteArrayView body, bool truncated) override;
    void OnMalformed(EscapeScanner::Malformed kind, QByteArrayView bytes) override;

    // Sequences, by family (ScreenModelSequences.cpp).
    void PlainCsi(const CsiSequence& csi, bool afterText);
    void PrivateCsi(const CsiSequence& csi);
    void EraseDisplay(const CsiSequence& csi);
    // CUU, CUD, CNL, CPL, VPR: `rows` up (negative) or down.
    void MoveVertically(int rows, bool toFirstColumn, QByteArrayView raw);
    void SetAnsiModes(const CsiSequence& csi, bool on);
    void SetPrivateMode(int mode, bool on, const CsiSequence& csi);
    void Sgr(const CsiSequence& csi);
    void SetScrollRegion(const CsiSequence& csi);
    void WindowOperation(const CsiSequence& csi);
    void SaveCursor(SavedCursor& slot);
    void RestoreCursor();
    void EnterAlternate(int mode, const CsiSequence& csi);
    void LeaveAlternate(int mode, const CsiSequence& csi);
    void HardReset(const EscapeSequence& escape);
    void SoftReset(const CsiSequence& csi);
    void Alignment();
    void Resize(int cols, int rows);
    void OscString(QByteArrayView body);
    void DcsString(QByteArrayView body);

    // Writes what libvterm has been given so far, so that its cursor and cells stand
    // where the stream stands, and takes note of what it could not follow. The start of
    // a character that the stream has not finished yet stays.
    void Flush();
    // Tells libvterm's side of the cells which attributes text is written with.
    void UpdateWritingFlags();
    uint16_t WritingFlags() const;
    // Passes a whole sequence to libvterm as it came.
    void Pass(QByteArrayView raw) { toScreen_ += raw; }
    void Unfollowed(QByteArrayView raw);
    void Disputed(QByteArrayView raw);
    // The cells of the screen in use, and with them the cursor, can no longer be told.
    void DoubtCells(const QString& reason);
    // The screen in use has been wholly cleared in a known state.
    void ScreenCleared();
    void DoubtEditAtUnknownCursor();
    void Backspace();
    void DoubtWrapKept(QByteArrayView raw);
    // An insertion, deletion or erasure at the cursor that cuts a wide character.
    void DoubtSplitWide(const CsiSequence& csi);
    // ICH and DCH, which libvterm is told to do outside the scroll region too.
    void InsertOrDeleteCharacters(QByteArrayView raw);
    // Takes text whose characters need their columns looked at (combining ones, and
    // wide ones while autowrap is off).
    void AppendCheckingColumns(const char* bytes, qsizetype size);
    bool PendingWrap() const;
    QString Blocking() const;
    bool AtDefaults() const;

    // The repaint (ScreenRepaint.cpp).
    void ReplaySave(RepaintWriter& writer, const SavedCursor& slot, bool alternateSave);
    // Sets the saved state on the terminal and writes `action`, which saves it.
    void SetSavedState(RepaintWriter& writer, const SavedCursor& slot, QByteArrayView action);
    void PaintLiveScreen(RepaintWriter& writer);
    void WriteFinalState(RepaintWriter& writer);

    std::unique_ptr<VtermScreen> screen_;
    EscapeScanner scanner_;
    QByteArray toScreen_;  // what libvterm is still to be given

    Pen pen_;
    bool penKnown_ = true;
    Charsets charsets_;
    TerminalModes modes_;
    TabStops tabs_;
    int regionTop_ = 0;
    int regionBottom_ = 0;
    SavedCursor saved_;     // DECSC
    SavedCursor altSaved_;  // the last CSI ? 1049 h
    uint64_t saveOrder_ = 0;
    int alternateMode_ = 0;  // 47, 1047 or 1049 while the alternate screen is shown
    uint64_t alternateOrder_ = 0;
    std::vector<ScreenCell> primaryCells_;  // the primary screen, while hidden

    // Facts about the events just before: text and nothing else since (a repeat or a
    // combining character continues it); text and nothing since that moves the cursor
    // (the cursor may wait at a line's end for the next character to wrap).
    bool rightAfterText_ = false;
    bool lastTextAscii_ = false;
    char lastTextByte_ = 0;
    bool wrapCandidate_ = false;
    bool keepsWrap_ = false;
    // Text was written on the primary [0] or alternate [1] screen since it was last
    // wholly cleared, so a line of it may have wrapped.
    std::array<bool, 2> textSinceCleared_{};

    Doubts doubts_;
    QByteArray repaint_;
    bool repaintValid_ = false;
    std::vector<ScreenCell> row_;  // scratch for painting
};
