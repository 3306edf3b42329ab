#include "server/screen/VtermScreen.h"

#include <vterm.h>

#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwchar>

int CharacterWidth(char32_t code)
{
    static const locale_t utf8 =
        newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) {
        return -2;
    }
    const locale_t previous = uselocale(utf8);
    const int width = wcwidth(static_cast<wchar_t>(code));
    uselocale(previous);
    return width;
}

namespace {

Color FromVterm(const VTermColor& color, bool foreground, bool basic)
{
    if (foreground ? VTERM_COLOR_IS_DEFAULT_FG(&color) : VTERM_COLOR_IS_DEFAULT_BG(&color)) {
        return Color{};
    }
    if (VTERM_COLOR_IS_INDEXED(&color)) {
        const int index = color.indexed.idx;
        return Color::Palette(basic && index < 16 ? Color::Basic : Color::Indexed, index);
    }
    return Color{Color::Rgb, color.rgb.red, color.rgb.green, color.rgb.blue};
}

void DiscardOutput(const char*, size_t, void*) {}

// The columns a cell's character takes. libvterm counts a cell as wide whenever the
// cell after it is a wide character's right half, which it leaves behind when a narrow
// character overwrites the left half; the character itself tells.
int WrittenWidth(const VTermScreenCell& cell)
{
    if (cell.chars[0] < 0x80) {
        return 1;
    }
    const int width = CharacterWidth(cell.chars[0]);
    return width == -2 ? cell.width : width == 2 ? 2 : 1;
}

QByteArray CodePointName(char32_t code)
{
    return QByteArray("U+") +
           QByteArray::number(static_cast<uint>(code), 16).toUpper().rightJustified(4, '0');
}

}  // namespace

// libvterm's callbacks, which reach the screen's private parts.
struct VtermCallbacks
{
    static VtermScreen& Of(void* user) { return *static_cast<VtermScreen*>(user); }
    static VtermScreen::Rect Convert(const VTermRect& rect)
    {
        return VtermScreen::Rect{rect.start_row, rect.end_row, rect.start_col, rect.end_col};
    }
    static int Damage(VTermRect rect, void* user)
    {
        Of(user).Damage(Convert(rect));
        return 1;
    }
    static int MoveRect(VTermRect dest, VTermRect src, void* user)
    {
        Of(user).MoveRect(Convert(dest), Convert(src));
        return 1;
    }
    static int PushLine(int, const VTermScreenCell*, void* user)
    {
        Of(user).scrolledOff_ = true;
        return 1;
    }
    static void Unfollowed(void* user, const QByteArray& what)
    {
        Of(user).Report(VtermScreen::Problem::Unfollowed, what);
    }
    static int Control(unsigned char byte, void* user)
    {
        Unfollowed(user, QByteArray("0x") + QByteArray::number(byte, 16).rightJustified(2, '0'));
        return 1;
    }
    static int Csi(const char* leader, const long*, int, const char* intermed, char command,
                   void* user)
    {
        Unfollowed(user, QByteArray("ESC [") + (leader ? leader : "") + (intermed ? intermed : "") +
                             command);
        return 1;
    }
    static int Escape(const char* bytes, size_t len, void* user)
    {
        Unfollowed(user, QByteArray("ESC ") + QByteArray(bytes, static_cast<qsizetype>(len)));
        return 1;
    }
    static int String(const char*, size_t, void* user)
    {
        Unfollowed(user, "a string");
        return 1;
    }
};

VtermScreen::VtermScreen(int cols, int rows)
    : vterm_(vterm_new(rows, cols), &vterm_free), cols_(cols), rows_(rows)
{
    vterm_set_utf8(vterm_.get(), 1);
    vterm_output_set_callback(vterm_.get(), &DiscardOutput, nullptr);
    screen_ = vterm_obtain_screen(vterm_.get());
    InstallCallbacks();
    vterm_screen_enable_altscreen(screen_, 1);
    vterm_screen_set_damage_merge(screen_, VTERM_DAMAGE_CELL);
    ignoreDamage_ = true;
    vterm_screen_reset(screen_, 1);
    ignoreDamage_ = false;
    flags_[0].assign(static_cast<size_t>(cols) * static_cast<size_t>(rows), 0);
    flags_[1] = flags_[0];
}

VtermScreen::~VtermScreen() = default;

void VtermScreen::InstallCallbacks()
{
    static const VTermScreenCallbacks kScreen = {&VtermCallbacks::Damage,
                                                 &VtermCallbacks::MoveRect,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 nullptr,
                                                 &VtermCallbacks::PushLine,
                                                 nullptr};
    vterm_screen_set_callbacks(screen_, &kScreen, this);
    static const VTermParserCallbacks kUnrecognised = {nullptr,
                                                       &VtermCallbacks::Control,
                                                       &VtermCallbacks::Escape,
                                                       &VtermCallbacks::Csi,
                                                       &VtermCallbacks::String,
                                                       &VtermCallbacks::String,
                                                       nullptr};
    vterm_screen_set_unrecognised_fallbacks(screen_, &kUnrecognised, this);
}

void VtermScreen::Write(QByteArrayView bytes)
{
    if (!bytes.isEmpty()) {
        vterm_input_write(vterm_.get(), bytes.data(), static_cast<size_t>(bytes.size()));
    }
}

VtermScreen::Position VtermScreen::Cursor() const
{
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vterm_.get()), &pos);
    return Position{pos.row, pos.col};
}

void VtermScreen::SwitchScreen(bool alternate, QByteArrayView sequence)
{
    // libvterm reports the whole screen as changed when it switches; those reports
    // are not writing, so they must not stamp the pen on every cell.
    ignoreDamage_ = true;
    Write(sequence);
    ignoreDamage_ = false;
    active_ = alternate ? 1 : 0;
    if (alternate) {
        std::fill(flags_[1].begin(), flags_[1].end(), 0);
    }
}

void VtermScreen::Resize(int cols, int rows)
{
    ignoreDamage_ = true;
    vterm_set_size(vterm_.get(), rows, cols);
    ignoreDamage_ = false;
    cols_ = cols;
    rows_ = rows;
    for (auto& flags : flags_) {
        flags.assign(static_cast<size_t>(cols) * static_cast<size_t>(rows), 0);
    }
}

ScreenCell VtermScreen::Cell(int row, int col) const
{
    VTermScreenCell cell;
    vterm_screen_get_cell(screen_, VTermPos{row, col}, &cell);
    ScreenCell out;
    for (int i = 0; i < ScreenCell::kMaxChars && cell.chars[i] != 0; ++i) {
        out.chars[static_cast<size_t>(i)] = cell.chars[i];
        if (cell.chars[i] == static_cast<uint32_t>(-1)) {
            break;
        }
    }
    out.width =
        static_cast<uint8_t>(cell.chars[0] == static_cast<uint32_t>(-1) ? 0 : WrittenWidth(cell));
    out.flags = flags_[active_][static_cast<size_t>(row * cols_ + col)];
    out.foreground = FromVterm(cell.fg, true, out.flags & CellFlag::BasicForeground);
    out.background = FromVterm(cell.bg, false, out.flags & CellFlag::BasicBackground);
    return out;
}

void VtermScreen::ReadScreen(std::vector<ScreenCell>& cells) const
{
    cells.resize(static_cast<size_t>(rows_) * static_cast<size_t>(cols_));
    for (int row = 0; row < rows_; ++row) {
        for (int col = 0; col < cols_; ++col) {
            cells[static_cast<size_t>(row * cols_ + col)] = Cell(row, col);
        }
    }
}

void VtermScreen::ReadRow(int row, std::vector<ScreenCell>& cells) const
{
    cells.resize(static_cast<size_t>(cols_));
    for (int col = 0; col < cols_; ++col) {
        cells[static_cast<size_t>(col)] = Cell(row, col);
    }
}

bool VtermScreen::RowHasWide(int row) const
{
    const auto start = flags_[active_].begin() + row * cols_;
    return std::any_of(start, start + cols_, [](uint16_t f) { return f & CellFlag::WideHead; });
}

bool VtermScreen::IsBlank() const
{
    for (int row = 0; row < rows_; ++row) {
        for (int col = 0; col < cols_; ++col) {
            const ScreenCell cell = Cell(row, col);
            if (!cell.Erased() || cell.background.kind != Color::Default) {
                return false;
            }
        }
    }
    return true;
}

VtermScreen::Problem VtermScreen::TakeProblem()
{
    Problem problem = problem_;
    problem_ = Problem{};
    return problem;
}

void VtermScreen::Report(Problem::Kind kind, const QByteArray& detail)
{
    if (problem_.kind == Problem::None) {
        problem_ = Problem{kind, detail};
    }
}

void VtermScreen::Damage(const Rect& rect)
{
    if (ignoreDamage_) {
        return;
    }
    std::vector<uint16_t>& flags = Flags();
    const auto eraseFlags = static_cast<uint16_t>(writingFlags_ & CellFlag::BasicBackground);
    if (rect.endCol - rect.startCol > 2) {
        // A character is at most two cells wide: libvterm reports each as it writes it,
        // so a wider report is an erasure.
        for (int row = rect.startRow; row < rect.endRow; ++row) {
            const auto start = flags.begin() + row * cols_;
            std::fill(start + rect.startCol, start + rect.endCol, eraseFlags);
        }
        return;
    }
    for (int row = rect.startRow; row < rect.endRow; ++row) {
        for (int col = rect.startCol; col < rect.endCol; ++col) {
            VTermScreenCell vcell;
            vterm_screen_get_cell(screen_, VTermPos{row, col}, &vcell);
            uint16_t& cellFlags = flags[static_cast<size_t>(row * cols_ + col)];
            if (vcell.chars[0] == 0) {
                cellFlags = eraseFlags;
                continue;
            }
            cellFlags = writingFlags_;
            if (vcell.chars[0] == static_cast<uint32_t>(-1)) {
                continue;
            }
            // Over the right half of a wide character, xterm blanks its left half, tmux
            // and libvterm keep it, or not, as autowrap is on or off.
            if (col > 0 &&
                (flags[static_cast<size_t>(row * cols_ + col - 1)] & CellFlag::WideHead)) {
                Report(Problem::WideHalf, {});
            }
            const int width = WrittenWidth(vcell);
            if (width == 2) {
                cellFlags |= CellFlag::WideHead;
            }
            if (vcell.chars[0] >= 0x80) {
                // Only ASCII is drawn from the line-drawing set.
                cellFlags &= static_cast<uint16_t>(~CellFlag::LineDrawing);
                ScreenCell cell;
                for (int i = 0; i < ScreenCell::kMaxChars && vcell.chars[i] != 0; ++i) {
                    cell.chars[static_cast<size_t>(i)] = vcell.chars[i];
                }
                // The report spans the columns libvterm gave the character.
                cell.width = static_cast<uint8_t>(rect.endCol - rect.startCol);
                CheckWidths(cell);
            } else if (vcell.chars[1] != 0) {
                ScreenCell cell;
                for (int i = 0; i < ScreenCell::kMaxChars && vcell.chars[i] != 0; ++i) {
                    cell.chars[static_cast<size_t>(i)] = vcell.chars[i];
                }
                CheckWidths(cell);
            }
            lastGlyph_ = Glyph{Position{row, col}, width};
        }
    }
}

void VtermScreen::CheckWidths(const ScreenCell& cell)
{
    // Where libvterm and the C library count a character's columns differently,
    // terminals differ too, and the screen cannot be told for certain.
    const int base = CharacterWidth(cell.chars[0]);
    if (base != -2 && cell.chars[0] >= 0x80 && base != cell.width) {
        Report(Problem::Width, CodePointName(cell.chars[0]));
        return;
    }
    for (int i = 1; i < ScreenCell::kMaxChars && cell.chars[static_cast<size_t>(i)] != 0; ++i) {
        const int width = CharacterWidth(cell.chars[static_cast<size_t>(i)]);
        if (width != -2 && width != 0) {
            Report(Problem::Width, CodePointName(cell.chars[static_cast<size_t>(i)]));
            return;
        }
    }
}

void VtermScreen::MoveRect(const Rect& dest, const Rect& src)
{
    // libvterm has moved the cells; the attribute bits move with them, row by row in
    // the order that does not overwrite rows still to be moved (memmove takes care of
    // the overlap within a row).
    std::vector<uint16_t>& flags = Flags();
    const int height = dest.endRow - dest.startRow;
    const auto width = static_cast<size_t>(dest.endCol - dest.startCol);
    const bool down = dest.startRow > src.startRow;
    for (int i = 0; i < height; ++i) {
        const int r = down ? height - 1 - i : i;
        const auto from = static_cast<size_t>((src.startRow + r) * cols_ + src.startCol);
        const auto to = static_cast<size_t>((dest.startRow + r) * cols_ + dest.startCol);
        std::memmove(&flags[to], &flags[from], width * sizeof(uint16_t));
    }
}
