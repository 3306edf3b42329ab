#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QStringBuilder>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "server/screen/Pen.h"

struct VTerm;
struct VTermScreen;

// The columns the C library gives a character under UTF-8 (wcwidth), whatever the
// process's locale; -2 where the system has no UTF-8 locale.
int CharacterWidth(char32_t code);

// One cell of a screen, as a repaint writes it.
struct ScreenCell
{
    // The right half of a wide character, which the character to its left covers.
    static constexpr char32_t kWideTail = 0xFFFFFFFF;
    static constexpr int kMaxChars = 6;

    // The base character and any combining characters; chars[0] == 0 for an erased cell,
    // which has only a background.
    std::array<char32_t, kMaxChars> chars{};
    uint8_t width = 1;
    uint16_t flags = 0;  // CellFlag bits
    Color foreground;
    Color background;

    bool Erased() const { return chars[0] == 0; }
    bool WideTail() const { return chars[0] == kWideTail; }
    Pen PenOf() const
    {
        return Pen{static_cast<uint16_t>(flags & CellFlag::PenMask), foreground, background};
    }
};

// The character grid: libvterm's screen, which places characters (wrapping, wide and
// combining characters, scrolling, insertion and erasure) and keeps their colours, and
// beside it the attribute bits that this libvterm does not keep (dim, conceal, overline,
// the underline styles, the line-drawing set, the form of the basic colours), moved
// along with the cells through libvterm's damage and move reports.
//
// libvterm is given only what the model decides it should see: text, cursor and erase
// controls, and colours as plain SGR. It also reports what it could not follow, and
// characters whose width it counts differently from the C library.
class VtermScreen
{
public:
    // libvterm keeps a control sequence's first 16 parameters (subparameters counted) and
    // writes any past them over its own memory: a longer sequence must never reach it.
    static constexpr int kMaxParameters = 16;

    VtermScreen(int cols, int rows);
    ~VtermScreen();
    VtermScreen(const VtermScreen&) = delete;
    VtermScreen& operator=(const VtermScreen&) = delete;

    int Cols() const { return cols_; }
    int Rows() const { return rows_; }

    void Write(QByteArrayView bytes);
    // The CellFlag bits given to characters written from now on (pen bits, line drawing,
    // basic colour forms); an erased cell keeps only BasicBackground.
    void SetWritingFlags(uint16_t flags) { writingFlags_ = flags; }

    struct Position
    {
        int row = 0;
        int col = 0;
        bool operator==(const Position&) const = default;
    };
    Position Cursor() const;

    // Writes a sequence that switches between the primary and the alternate screen,
    // keeping each screen's attribute bits; entering clears the alternate screen.
    void SwitchScreen(bool alternate, QByteArrayView sequence);
    bool OnAlternate() const { return active_ == 1; }
    // Changes the size. The attribute bits start afresh: the caller follows a resize
    // only where the screen is blank.
    void Resize(int cols, int rows);

    ScreenCell Cell(int row, int col) const;
    // Every cell of the screen shown now, row by row; or one row.
    void ReadScreen(std::vector<ScreenCell>& cells) const;
    void ReadRow(int row, std::vector<ScreenCell>& cells) const;
    // True when every cell is erased with the default background.
    bool IsBlank() const;
    // True once a line has scrolled off the top of the primary screen: a terminal keeps
    // such lines and brings them back when it grows taller.
    bool ScrolledOff() const { return scrolledOff_; }
    // The terminal's lines kept above the screen were erased (ED 3).
    void ForgetScrolledOff() { scrolledOff_ = false; }

    // Whether a row holds a wide character, and whether a column is the right half of
    // one (by what was written, as libvterm reports it).
    bool RowHasWide(int row) const;
    bool IsWideHead(int row, int col) const
    {
        return col >= 0 && col < cols_ &&
               (flags_[active_][static_cast<size_t>(row * cols_ + col)] & CellFlag::WideHead);
    }

    // The last character written, where it went: the cursor waits on it at the end of a
    // line when the next character will wrap.
    struct Glyph
    {
        Position at;
        int width = 0;
    };
    Glyph LastGlyph() const { return lastGlyph_; }

    // What libvterm did not follow, or placed where terminals disagree, since the last
    // call: the first such thing, with the sequence or character it concerns.
    struct Problem
    {
        enum Kind
        {
            None,
            Unfollowed,  // a sequence libvterm did not act on
            Width,       // a character whose width libvterm and the C library disagree on
            WideHalf,    // a character written over the right half of a wide one
        };
        Kind kind = None;
        QByteArray detail;
    };
    Problem TakeProblem();

private:
    friend struct VtermCallbacks;
    struct Rect
    {
        int startRow;
        int endRow;
        int startCol;
        int endCol;
    };
    void Damage(const Rect& rect);
    void MoveRect(const Rect& dest, const Rect& src);
    void CheckWidths(const ScreenCell& cell);
    void Report(Problem::Kind kind, const QByteArray& detail);
    void InstallCallbacks();
    std::vector<uint16_t>& Flags() { return flags_[active_]; }

    std::unique_ptr<VTerm, void (*)(VTerm*)> vterm_;
    VTermScreen* screen_ = nullptr;
    int cols_;
    int rows_;
    std::array<std::vector<uint16_t>, 2> flags_;  // primary, alternate
    int active_ = 0;
    uint16_t writingFlags_ = 0;
    bool ignoreDamage_ = false;
    bool scrolledOff_ = false;
    Glyph lastGlyph_;
    Problem problem_;
};
