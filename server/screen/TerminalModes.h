#pragma once

#include <QByteArray>
#include <QStringBuilder>
#include <array>
#include <cstdint>
#include <vector>

// The modes a recording leaves set that change how a terminal draws or what its keys
// send, beyond the characters on the screen: what a repaint sets again.
class TerminalModes
{
public:
    // What a DEC private mode (CSI ? n h / l) means to the model.
    enum class Kind
    {
        Replayed,    // kept as last set, and set again by a repaint
        Screen,      // changes the screen itself: handled by the model
        Unfollowed,  // setting it changes what terminals show in ways they disagree on
        Ignored,     // changes nothing a viewer sees
    };
    static Kind PrivateModeKind(int mode);

    // Records a replayed mode; ignores others.
    void SetPrivate(int mode, bool on);
    bool Private(int mode, bool fallback) const;

    bool autowrap = true;            // DECAWM (?7)
    bool origin = false;             // DECOM (?6)
    bool insert = false;             // IRM (4)
    bool keypadApplication = false;  // DECKPAM (ESC =) / DECKPNM (ESC >)
    int cursorStyle = -1;            // DECSCUSR (CSI n SP q); -1: never set

    // The sequences that set the replayed modes, the keypad and the cursor style on a
    // terminal just reset. Autowrap, origin and insert are the repaint's to set, at the
    // moment that suits it.
    void AppendTo(QByteArray& out) const;

private:
    static constexpr std::array<int, 28> kReplayed = {
        1,    5,    8,    9,    12,   25,   66,   67,   1000, 1001, 1002, 1003, 1004, 1005,
        1006, 1007, 1015, 1016, 1034, 1035, 1036, 1037, 1039, 1042, 1043, 1044, 2004, 2026};
    static int ReplayedIndex(int mode);
    // -1: never set by the recording, else 0 or 1.
    std::array<int8_t, kReplayed.size()> replayed_ = MakeUnset();
    static std::array<int8_t, kReplayed.size()> MakeUnset()
    {
        std::array<int8_t, kReplayed.size()> unset{};
        unset.fill(-1);
        return unset;
    }
};

// Tab stops, one flag per column; every eighth column by default.
class TabStops
{
public:
    explicit TabStops(int cols = 80) { Reset(cols); }
    void Reset(int cols);
    void Set(int col);
    void Clear(int col);
    void ClearAll();
    bool IsDefault() const;
    // On a terminal whose stops are the default: clears them and sets these.
    void AppendTo(QByteArray& out) const;

private:
    std::vector<uint8_t> stops_;
};
