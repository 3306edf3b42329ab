#pragma once

#include <QSize>
#include <algorithm>

// The terminal a recording is played on. Every size that reaches the program (a
// recording's header, a resize in its stream, the command line) passes through here, so
// the pages and the screen model agree on it.

// A terminal's size when the recording does not give one.
inline constexpr int kDefaultTerminalColumns = 80;
inline constexpr int kDefaultTerminalRows = 24;
// The largest terminal a recording may ask for, columns and rows alike: a page, or a screen
// model, allocates what it is told.
inline constexpr int kMaxTerminalSide = 1000;

// The size cut to 1..kMaxTerminalSide each way.
inline QSize ClampedTerminalSize(QSize size)
{
    return QSize(std::clamp(size.width(), 1, kMaxTerminalSide),
                 std::clamp(size.height(), 1, kMaxTerminalSide));
}
