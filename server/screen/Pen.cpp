#include "server/screen/Pen.h"

#include <cstring>

namespace {

// The simple on and off codes, with the flag each sets or clears.
struct FlagCode
{
    int on;
    int off;
    uint16_t flag;
};
constexpr FlagCode kFlagCodes[] = {
    {3, 23, CellFlag::Italic},  {5, 25, CellFlag::Blink},  {7, 27, CellFlag::Reverse},
    {8, 28, CellFlag::Conceal}, {9, 29, CellFlag::Strike}, {53, 55, CellFlag::Overline},
};

// Codes some terminals draw and this pen cannot keep.
bool IsUnkeptCode(int code)
{
    return code == 20 || code == 26 || code == 51 || code == 52 || (code >= 60 && code <= 64) ||
           code == 58 || code == 73 || code == 74;
}

bool InByteRange(int value)
{
    return value >= 0 && value <= 255;
}

// Reads the colour after 38 or 48 at entry `first` (the 38 itself). `end` is where the
// entry's subparameters end; `next` receives the entry after the colour.
bool ReadColor(const CsiSequence& sgr, int first, int end, Color& color, int& next)
{
    auto value = [&](int i) { return sgr.parameters[i].value; };
    if (end > first + 1) {
        // Colon form: 38:5:n, 38:2:r:g:b or 38:2:space:r:g:b.
        next = end;
        const int subs = end - first - 1;
        const int mode = value(first + 1);
        if (mode == 5 && subs == 2 && InByteRange(value(first + 2))) {
            color = Color::Palette(Color::Indexed, value(first + 2));
            return true;
        }
        if (mode == 2 && (subs == 4 || subs == 5)) {
            const int r = end - 3;
            if (InByteRange(value(r)) && InByteRange(value(r + 1)) && InByteRange(value(r + 2))) {
                color =
                    Color{Color::Rgb, static_cast<uint8_t>(value(r)),
                          static_cast<uint8_t>(value(r + 1)), static_cast<uint8_t>(value(r + 2))};
                return true;
            }
        }
        return false;
    }
    // Semicolon form: 38;5;n or 38;2;r;g;b, each a plain parameter.
    auto plain = [&](int from, int n) {
        for (int i = from; i < from + n; ++i) {
            if (i >= sgr.count || sgr.parameters[i].followedBySub || !InByteRange(value(i))) {
                return false;
            }
        }
        return true;
    };
    if (!plain(first + 1, 1)) {
        return false;
    }
    const int mode = value(first + 1);
    if (mode == 5 && plain(first + 2, 1)) {
        color = Color::Palette(Color::Indexed, value(first + 2));
        next = first + 3;
        return true;
    }
    if (mode == 2 && plain(first + 2, 3)) {
        color =
            Color{Color::Rgb, static_cast<uint8_t>(value(first + 2)),
                  static_cast<uint8_t>(value(first + 3)), static_cast<uint8_t>(value(first + 4))};
        next = first + 5;
        return true;
    }
    return false;
}

// Applies one code without subparameters. False for a code the pen cannot keep.
bool ApplyPlainCode(Pen& pen, int code)
{
    for (const FlagCode& fc : kFlagCodes) {
        if (code == fc.on) {
            pen.flags |= fc.flag;
            return true;
        }
        if (code == fc.off) {
            pen.flags &= static_cast<uint16_t>(~fc.flag);
            return true;
        }
    }
    if (code == 0) {
        pen = Pen{};
    } else if (code == 1) {
        pen.flags |= CellFlag::Bold;
    } else if (code == 2) {
        pen.flags |= CellFlag::Dim;
    } else if (code == 4) {
        pen.SetUnderline(1);
    } else if (code == 6) {
        pen.flags |= CellFlag::Blink;  // rapid blink: terminals draw it as blink
    } else if (code == 21) {
        pen.SetUnderline(2);
    } else if (code == 22) {
        pen.flags &= static_cast<uint16_t>(~(CellFlag::Bold | CellFlag::Dim));
    } else if (code == 24) {
        pen.SetUnderline(0);
    } else if (code >= 30 && code <= 37) {
        pen.foreground = Color::Palette(Color::Basic, code - 30);
    } else if (code == 39) {
        pen.foreground = Color{};
    } else if (code >= 40 && code <= 47) {
        pen.background = Color::Palette(Color::Basic, code - 40);
    } else if (code == 49) {
        pen.background = Color{};
    } else if (code >= 90 && code <= 97) {
        pen.foreground = Color::Palette(Color::Basic, code - 90 + 8);
    } else if (code >= 100 && code <= 107) {
        pen.background = Color::Palette(Color::Basic, code - 100 + 8);
    } else if (IsUnkeptCode(code)) {
        return false;
    }
    // Anything else (fonts 10-19, codes no terminal draws) changes nothing.
    return true;
}

// The parameters of one SGR sequence, built without allocating: pens change at almost
// every cell of a coloured screen.
class Codes
{
public:
    void Number(int value)
    {
        Separate();
        char digits[12];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value > 0);
        while (n > 0) {
            bytes_[size_++] = digits[--n];
        }
    }
    // A number that belongs to the one before, after ':' or ';'.
    void Then(char separator, int value)
    {
        bytes_[size_++] = separator;
        empty_ = true;
        Number(value);
    }
    int Size() const { return size_; }
    bool IsJustZero() const { return size_ == 1 && bytes_[0] == '0'; }
    void AppendSequence(QByteArray& out) const
    {
        // Built whole and appended once: the model writes one at nearly every SGR.
        char sequence[sizeof bytes_ + 3] = {'\x1b', '['};
        int size = 2;
        if (!IsJustZero()) {
            std::memcpy(sequence + size, bytes_, static_cast<size_t>(size_));
            size += size_;
        }
        sequence[size++] = 'm';
        out.append(sequence, size);
    }

private:
    void Separate()
    {
        if (!empty_) {
            bytes_[size_++] = ';';
        }
        empty_ = false;
    }
    // Enough for every code at once with two 24-bit colours.
    char bytes_[128];
    int size_ = 0;
    bool empty_ = true;
};

void AddColor(Codes& codes, const Color& color, bool foreground)
{
    const int base = foreground ? 30 : 40;
    switch (color.kind) {
        case Color::Default:
            codes.Number(base + 9);
            break;
        case Color::Basic:
            codes.Number(color.red < 8 ? base + color.red : base + 60 + color.red - 8);
            break;
        case Color::Indexed:
            codes.Number(base + 8);
            codes.Then(';', 5);
            codes.Then(';', color.red);
            break;
        case Color::Rgb:
            codes.Number(base + 8);
            codes.Then(';', 2);
            codes.Then(';', color.red);
            codes.Then(';', color.green);
            codes.Then(';', color.blue);
            break;
    }
}

void AddUnderline(Codes& codes, int style)
{
    if (style <= 1) {
        codes.Number(style == 0 ? 24 : 4);
    } else {
        codes.Number(4);
        codes.Then(':', style);
    }
}

// The codes that set `to` on a reset pen: 0, then what `to` has.
Codes CodesFromReset(const Pen& to)
{
    Codes codes;
    codes.Number(0);
    if (to.flags & CellFlag::Bold) {
        codes.Number(1);
    }
    if (to.flags & CellFlag::Dim) {
        codes.Number(2);
    }
    for (const FlagCode& fc : kFlagCodes) {
        if (to.flags & fc.flag) {
            codes.Number(fc.on);
        }
    }
    if (to.Underline() != 0) {
        AddUnderline(codes, to.Underline());
    }
    if (to.foreground.kind != Color::Default) {
        AddColor(codes, to.foreground, true);
    }
    if (to.background.kind != Color::Default) {
        AddColor(codes, to.background, false);
    }
    return codes;
}

// The codes that change only what differs.
Codes CodesFromDifference(const Pen& from, const Pen& to)
{
    Codes codes;
    constexpr uint16_t kIntensity = CellFlag::Bold | CellFlag::Dim;
    const uint16_t lost = from.flags & ~to.flags;
    uint16_t kept = from.flags;
    if (lost & kIntensity) {
        codes.Number(22);  // clears both bold and dim
        kept &= static_cast<uint16_t>(~kIntensity);
    }
    if ((to.flags & CellFlag::Bold) && !(kept & CellFlag::Bold)) {
        codes.Number(1);
    }
    if ((to.flags & CellFlag::Dim) && !(kept & CellFlag::Dim)) {
        codes.Number(2);
    }
    for (const FlagCode& fc : kFlagCodes) {
        if ((from.flags ^ to.flags) & fc.flag) {
            codes.Number((to.flags & fc.flag) ? fc.on : fc.off);
        }
    }
    if (from.Underline() != to.Underline()) {
        AddUnderline(codes, to.Underline());
    }
    if (from.foreground != to.foreground) {
        AddColor(codes, to.foreground, true);
    }
    if (from.background != to.background) {
        AddColor(codes, to.background, false);
    }
    return codes;
}

}  // namespace

bool ApplySgr(Pen& pen, const CsiSequence& sgr)
{
    if (sgr.count == 0) {
        pen = Pen{};
        return true;
    }
    int i = 0;
    while (i < sgr.count) {
        int end = i + 1;
        while (end < sgr.count && sgr.parameters[end - 1].followedBySub) {
            ++end;
        }
        const int code = qMax(sgr.parameters[i].value, 0);
        if (code == 38 || code == 48) {
            Color color;
            int next = end;
            if (!ReadColor(sgr, i, end, color, next)) {
                return false;
            }
            (code == 38 ? pen.foreground : pen.background) = color;
            i = next;
            continue;
        }
        if (code == 4 && end == i + 2) {
            const int style = qMax(sgr.parameters[i + 1].value, 0);
            if (style > 5) {
                return false;
            }
            pen.SetUnderline(style);
        } else if (end != i + 1 || !ApplyPlainCode(pen, code)) {
            return false;  // subparameters where none belong, or a code not kept
        }
        i = end;
    }
    return true;
}

void AppendSgrChange(QByteArray& out, const Pen& from, const Pen& to)
{
    if (from == to) {
        return;
    }
    const Codes difference = CodesFromDifference(from, to);
    const Codes fromReset = CodesFromReset(to);
    (fromReset.Size() < difference.Size() ? fromReset : difference).AppendSequence(out);
}

void AppendColorsOnly(QByteArray& out, const Pen& pen)
{
    // The screen library keeps a basic colour as its index either way.
    auto kept = [](Color color) {
        if (color.kind == Color::Basic) {
            color.kind = Color::Indexed;
        }
        return color;
    };
    // No reset first: the screen library is given colours and nothing else, so the
    // other attributes of its pen stay at their defaults, and both colours are set.
    Codes codes;
    AddColor(codes, kept(pen.foreground), true);
    AddColor(codes, kept(pen.background), false);
    codes.AppendSequence(out);
}
