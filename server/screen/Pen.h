#pragma once

#include <QByteArray>
#include <cstdint>

#include "server/screen/ControlSequence.h"

// A colour as the recording chose it. The 16 basic colours keep the form they were set
// in (SGR 31 or SGR 38;5;1): terminals brighten bold text in the first form only.
struct Color
{
    enum Kind : uint8_t
    {
        Default,
        Basic,    // index 0-15, from SGR 30-37, 40-47, 90-97 or 100-107
        Indexed,  // index 0-255, from SGR 38;5;n or 48;5;n
        Rgb,
    };
    Kind kind = Default;
    uint8_t red = 0;  // the index, for Basic and Indexed
    uint8_t green = 0;
    uint8_t blue = 0;

    static Color Palette(Kind kind, int index)
    {
        return Color{kind, static_cast<uint8_t>(index), 0, 0};
    }
    bool operator==(const Color&) const = default;
};

// Cell and pen attributes, as bits. The underline style takes three bits; the last
// bits are facts about a cell rather than the pen.
namespace CellFlag {
constexpr uint16_t Bold = 1 << 0;
constexpr uint16_t Dim = 1 << 1;
constexpr uint16_t Italic = 1 << 2;
constexpr uint16_t Blink = 1 << 3;
constexpr uint16_t Reverse = 1 << 4;
constexpr uint16_t Conceal = 1 << 5;
constexpr uint16_t Strike = 1 << 6;
constexpr uint16_t Overline = 1 << 7;
constexpr int UnderlineShift = 8;
constexpr uint16_t UnderlineMask = 7 << UnderlineShift;  // 0 none, 1 single, 2 double,
                                                         // 3 curly, 4 dotted, 5 dashed
constexpr uint16_t PenMask = (1 << 11) - 1;
// The character was drawn from the DEC line-drawing set.
constexpr uint16_t LineDrawing = 1 << 11;
// The cell's colours are of the Basic kind (the screen library keeps only the index).
constexpr uint16_t BasicForeground = 1 << 12;
constexpr uint16_t BasicBackground = 1 << 13;
// The cell holds the left half of a wide character.
constexpr uint16_t WideHead = 1 << 14;
}  // namespace CellFlag

// The attributes that text is written with (SGR).
struct Pen
{
    uint16_t flags = 0;  // CellFlag pen bits only
    Color foreground;
    Color background;

    int Underline() const { return (flags & CellFlag::UnderlineMask) >> CellFlag::UnderlineShift; }
    void SetUnderline(int style)
    {
        flags = static_cast<uint16_t>((flags & ~CellFlag::UnderlineMask) |
                                      (style << CellFlag::UnderlineShift));
    }
    bool operator==(const Pen&) const = default;
};

// Applies an SGR sequence (CSI ... m) to the pen as xterm reads it. False when it holds
// something that terminals read differently or that the pen cannot keep (an underline
// colour, a colour without its values, fraktur, ...); the pen is then left as far as
// the sequence got.
bool ApplySgr(Pen& pen, const CsiSequence& sgr);

// Appends the shortest SGR sequence that turns a terminal's pen from `from` into `to`;
// nothing when they are equal.
void AppendSgrChange(QByteArray& out, const Pen& from, const Pen& to);

// Appends the SGR sequence that sets only the pen's colours, both of them: what the
// screen library is given, since it keeps colours and this model keeps the rest.
void AppendColorsOnly(QByteArray& out, const Pen& pen);
