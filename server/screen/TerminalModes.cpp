#include "server/screen/TerminalModes.h"

#include <algorithm>

TerminalModes::Kind TerminalModes::PrivateModeKind(int mode)
{
    if (ReplayedIndex(mode) >= 0) {
        return Kind::Replayed;
    }
    switch (mode) {
        case 3:     // 80/132 columns: some terminals clear the screen, others ignore it
        case 6:     // origin
        case 7:     // autowrap
        case 47:    // alternate screen
        case 1047:  // alternate screen
        case 1048:  // save and restore the cursor
        case 1049:  // alternate screen, saving the cursor
            return Kind::Screen;
        case 38:    // Tektronix window
        case 42:    // national character sets
        case 45:    // reverse wrap-around: the cursor moves back across lines
        case 69:    // left and right margins
        case 2027:  // grapheme clusters: changes the width of characters
            return Kind::Unfollowed;
        default:
            return Kind::Ignored;
    }
}

int TerminalModes::ReplayedIndex(int mode)
{
    const auto it = std::find(kReplayed.begin(), kReplayed.end(), mode);
    return it == kReplayed.end() ? -1 : static_cast<int>(it - kReplayed.begin());
}

void TerminalModes::SetPrivate(int mode, bool on)
{
    const int index = ReplayedIndex(mode);
    if (index >= 0) {
        replayed_[static_cast<size_t>(index)] = on ? 1 : 0;
    }
}

bool TerminalModes::Private(int mode, bool fallback) const
{
    const int index = ReplayedIndex(mode);
    if (index < 0 || replayed_[static_cast<size_t>(index)] < 0) {
        return fallback;
    }
    return replayed_[static_cast<size_t>(index)] == 1;
}

void TerminalModes::AppendTo(QByteArray& out) const
{
    for (size_t i = 0; i < kReplayed.size(); ++i) {
        if (replayed_[i] >= 0) {
            out += QByteArray("\x1b[?") + QByteArray::number(kReplayed[i]) +
                   (replayed_[i] ? 'h' : 'l');
        }
    }
    if (keypadApplication) {
        out += "\x1b=";
    }
    if (cursorStyle >= 0) {
        out += QByteArray("\x1b[") + QByteArray::number(cursorStyle) + " q";
    }
}

void TabStops::Reset(int cols)
{
    stops_.assign(static_cast<size_t>(cols), 0);
    for (size_t col = 8; col < stops_.size(); col += 8) {
        stops_[col] = 1;
    }
}

void TabStops::Set(int col)
{
    if (col >= 0 && col < static_cast<int>(stops_.size())) {
        stops_[static_cast<size_t>(col)] = 1;
    }
}

void TabStops::Clear(int col)
{
    if (col >= 0 && col < static_cast<int>(stops_.size())) {
        stops_[static_cast<size_t>(col)] = 0;
    }
}

void TabStops::ClearAll()
{
    std::fill(stops_.begin(), stops_.end(), 0);
}

bool TabStops::IsDefault() const
{
    for (size_t col = 0; col < stops_.size(); ++col) {
        if (stops_[col] != (col > 0 && col % 8 == 0 ? 1 : 0)) {
            return false;
        }
    }
    return true;
}

void TabStops::AppendTo(QByteArray& out) const
{
    if (IsDefault()) {
        return;
    }
    out += "\x1b[3g";
    for (size_t col = 0; col < stops_.size(); ++col) {
        if (stops_[col]) {
            out += QByteArray("\x1b[1;") + QByteArray::number(static_cast<int>(col) + 1) + "H\x1bH";
        }
    }
}
