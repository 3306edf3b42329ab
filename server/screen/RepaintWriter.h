#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <vector>

#include "server/screen/Pen.h"
#include "server/screen/VtermScreen.h"

// Writes the bytes of a repaint, keeping track of what the terminal that reads them
// will hold (pen, cursor, shift state), so that each change is written only when a
// cell needs it: SGR only where attributes change, a cursor move only over a gap,
// erase-to-end-of-line for coloured blanks at a line's end.
//
// Cells are painted with autowrap on (a combining character after the last column
// joins its base only then, in tmux), origin mode off and the full screen as scroll
// region, G0 holding ASCII and G1 line drawing, which Begin sets up; the caller sets
// the recording's own modes afterwards.
class RepaintWriter
{
public:
    RepaintWriter(QByteArray& out, int cols, int rows);

    // Resets the terminal (ESC c) and prepares it for painting.
    void Begin();
    // Paints a screen, row by row, onto a terminal screen that is blank; or one row of
    // it (cols cells).
    void Paint(const std::vector<ScreenCell>& cells);
    void PaintRow(int row, const ScreenCell* line);
    // Paints one cell where it stands, as the last thing painted, so that the cursor
    // waits after it at the end of its line (autowrap must be on).
    void PaintAt(int row, int col, const ScreenCell& cell);

    // Moves to a cell of the screen; once the caller has set origin mode with the scroll
    // region starting at row `top`, SetOriginTop(top) makes the moves count from there.
    void MoveTo(int row, int col);
    void SetOriginTop(int top)
    {
        originTop_ = top;
        cursorKnown_ = false;
    }
    void SetPen(const Pen& pen);
    void SetLineDrawing(bool on);
    // Writes bytes whose effect the caller knows: afterwards the writer assumes nothing
    // about the cursor, the shift state or the designations (the pen stays known: the
    // caller sets it through SetPen).
    void Raw(QByteArrayView bytes);
    // As Raw, for bytes that leave the cursor, shift state and designations as they were.
    void Append(QByteArrayView bytes) { out_ += bytes; }
    // Tells the writer the pen the terminal holds after bytes written with Raw.
    void AssumePen(const Pen& pen) { pen_ = pen; }

private:
    void PrepareCharsets();
    void PaintBlanks(int row, int col, int end, const ScreenCell& cell);
    void PutCell(const ScreenCell& cell);

    QByteArray& out_;
    int cols_;
    int rows_;
    Pen pen_;
    int originTop_ = 0;
    int row_ = 0;
    int col_ = 0;
    bool cursorKnown_ = false;
    bool charsetsKnown_ = false;
    bool lineDrawing_ = false;
};
