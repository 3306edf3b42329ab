#include "server/screen/RepaintWriter.h"

namespace {

void AppendUtf8(QByteArray& out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool IsDefaultBlank(const ScreenCell& cell)
{
    return cell.Erased() && cell.background.kind == Color::Default;
}

}  // namespace

RepaintWriter::RepaintWriter(QByteArray& out, int cols, int rows)
    : out_(out), cols_(cols), rows_(rows)
{
}

void RepaintWriter::Begin()
{
    // A terminal that has just connected may still hold anything a previous program
    // left; the reset gives the defaults this writer counts on.
    out_ += Esc::kReset;
    pen_ = Pen{};
    row_ = 0;
    col_ = 0;
    cursorKnown_ = true;
    charsetsKnown_ = false;
}

void RepaintWriter::PrepareCharsets()
{
    if (!charsetsKnown_) {
        out_ += "\x1b(B\x1b)0\x0f";
        lineDrawing_ = false;
        charsetsKnown_ = true;
    }
}

void RepaintWriter::Raw(QByteArrayView bytes)
{
    out_ += bytes;
    cursorKnown_ = false;
    charsetsKnown_ = false;
}

void RepaintWriter::MoveTo(int row, int col)
{
    if (cursorKnown_ && row == row_ && col == col_) {
        return;
    }
    if (cursorKnown_ && row == row_ && col > col_) {
        const int gap = col - col_;
        out_ +=
            gap == 1 ? QByteArray("\x1b[C") : QByteArray("\x1b[" + QByteArray::number(gap) + 'C');
    } else if (row == originTop_ && col == 0) {
        out_ += "\x1b[H";
    } else {
        out_ += QByteArray("\x1b[") + QByteArray::number(row - originTop_ + 1);
        if (col > 0) {
            out_ += ';' + QByteArray::number(col + 1);
        }
        out_ += 'H';
    }
    row_ = row;
    col_ = col;
    cursorKnown_ = true;
}

void RepaintWriter::SetPen(const Pen& pen)
{
    AppendSgrChange(out_, pen_, pen);
    pen_ = pen;
}

void RepaintWriter::SetLineDrawing(bool on)
{
    PrepareCharsets();
    if (on != lineDrawing_) {
        out_ += on ? '\x0e' : '\x0f';
        lineDrawing_ = on;
    }
}

void RepaintWriter::Paint(const std::vector<ScreenCell>& cells)
{
    PrepareCharsets();
    for (int row = 0; row < rows_; ++row) {
        PaintRow(row, cells.data() + static_cast<size_t>(row) * static_cast<size_t>(cols_));
    }
}

void RepaintWriter::PaintRow(int row, const ScreenCell* line)
{
    PrepareCharsets();
    int end = cols_;
    while (end > 0 && IsDefaultBlank(line[end - 1])) {
        --end;  // already blank on the terminal
    }
    int col = 0;
    while (col < end) {
        const ScreenCell& cell = line[col];
        if (cell.WideTail()) {
            ++col;  // a wide character's right half whose left half was overwritten
            continue;
        }
        if (cell.Erased()) {
            int runEnd = col + 1;
            while (runEnd < end && line[runEnd].Erased() &&
                   line[runEnd].background == cell.background &&
                   ((line[runEnd].flags ^ cell.flags) & CellFlag::BasicBackground) == 0) {
                ++runEnd;
            }
            if (cell.background.kind != Color::Default) {
                PaintBlanks(row, col, runEnd, cell);
            }
            col = runEnd;
            continue;
        }
        MoveTo(row, col);
        PutCell(cell);
        col += qMax(1, static_cast<int>(cell.width));
    }
}

void RepaintWriter::PaintBlanks(int row, int col, int end, const ScreenCell& cell)
{
    // Erasure takes only the background from the pen.
    MoveTo(row, col);
    Pen pen = pen_;
    pen.background = cell.background;
    SetPen(pen);
    if (end == cols_) {
        out_ += "\x1b[K";
    } else {
        const int count = end - col;
        out_ += count == 1 ? QByteArray("\x1b[X")
                           : QByteArray("\x1b[" + QByteArray::number(count) + 'X');
    }
}

void RepaintWriter::PutCell(const ScreenCell& cell)
{
    SetPen(cell.PenOf());
    SetLineDrawing(cell.flags & CellFlag::LineDrawing);
    for (char32_t code : cell.chars) {
        if (code == 0) {
            break;
        }
        AppendUtf8(out_, code);
    }
    // After the last column the cursor waits there for a wrap, which the next move
    // (an absolute one) cancels.
    col_ += qMax(1, static_cast<int>(cell.width));
    if (col_ >= cols_) {
        col_ = cols_ - 1;
        cursorKnown_ = false;
    }
}

void RepaintWriter::PaintAt(int row, int col, const ScreenCell& cell)
{
    MoveTo(row, col);
    PutCell(cell);
    cursorKnown_ = false;
}
