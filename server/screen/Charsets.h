#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

#include "server/screen/ControlSequence.h"

// The character sets designated to G0-G3 (ESC ( B, ESC ) 0, ...) and which of G0 and
// G1 is shifted in (SI, SO). The model draws ASCII and the DEC line-drawing set; other
// sets are kept as designated so that a repaint designates them again.
struct Charsets
{
    enum Kind : uint8_t
    {
        Ascii,
        LineDrawing,
        Other,
    };
    struct Designation
    {
        Kind kind = Ascii;
        // The bytes after ESC that designated it; empty for the terminal's default.
        std::array<char, 3> bytes{};
        uint8_t size = 0;
        bool operator==(const Designation&) const = default;
    };

    std::array<Designation, 4> sets{};
    int shift = 0;  // 0 after SI (G0 in use), 1 after SO (G1 in use)

    Kind InUse() const { return sets[static_cast<size_t>(shift)].kind; }
    bool operator==(const Charsets&) const = default;

    // Takes ESC ( F, ESC ) F, ESC * F, ESC + F (94-character sets) and ESC - F, ESC . F,
    // ESC / F (96-character sets), with any second intermediate byte; false for any
    // other escape sequence.
    bool Designate(const EscapeSequence& escape)
    {
        if (escape.intermediates.isEmpty() || escape.raw.size() > 4) {
            return false;
        }
        int slot = -1;
        switch (escape.intermediates[0]) {
            case '(':
                slot = 0;
                break;
            case ')':
            case '-':
                slot = 1;
                break;
            case '*':
            case '.':
                slot = 2;
                break;
            case '+':
            case '/':
                slot = 3;
                break;
            default:
                return false;
        }
        const bool set94 = escape.intermediates[0] == '(' || escape.intermediates[0] == ')' ||
                           escape.intermediates[0] == '*' || escape.intermediates[0] == '+';
        Designation& d = sets[static_cast<size_t>(slot)];
        d.kind = Other;
        if (set94 && escape.intermediates.size() == 1) {
            if (escape.finalByte == 'B') {
                d.kind = Ascii;
            } else if (escape.finalByte == '0') {
                d.kind = LineDrawing;
            }
        }
        // ASCII is kept as the default it is, so that equal states compare equal.
        d = Designation{d.kind};
        if (d.kind != Ascii) {
            d.size = static_cast<uint8_t>(escape.raw.size() - 1);
            for (int i = 0; i < d.size; ++i) {
                d.bytes[static_cast<size_t>(i)] = escape.raw[i + 1];
            }
        }
        return true;
    }

    // The sequences that set this state on a terminal, whatever its G0 and G1 were;
    // G2 and G3 only where the recording designated them.
    void AppendTo(QByteArray& out) const
    {
        static constexpr const char* kDefault[] = {"(B", ")B"};
        for (size_t i = 0; i < sets.size(); ++i) {
            const Designation& d = sets[i];
            if (d.size > 0) {
                out += '\x1b';
                out += QByteArray(d.bytes.data(), d.size);
            } else if (i < 2) {
                out += '\x1b';
                out += kDefault[i];
            }
        }
        out += shift == 1 ? '\x0e' : '\x0f';
    }
};
