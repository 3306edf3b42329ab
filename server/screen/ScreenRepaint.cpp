// The screen model's repaint: the bytes that bring a terminal just opened to the state
// an early viewer's terminal is in.
#include <algorithm>

#include "server/screen/RepaintWriter.h"
#include "server/screen/ScreenModel.h"

const QByteArray& ScreenModel::Repaint()
{
    if (repaintValid_) {
        return repaint_;
    }
    Flush();
    repaint_.clear();
    RepaintWriter writer(repaint_, Cols(), Rows());
    writer.Begin();
    QByteArray tabs;
    tabs_.AppendTo(tabs);
    if (!tabs.isEmpty()) {
        writer.Raw(tabs);
    }
    // The saved cursors go in the order the recording saved them: a terminal with one
    // slot for ESC 7 and CSI ? 1049 h then ends up holding the later, as an early
    // viewer's does, and one with two slots fills each.
    struct Save
    {
        const SavedCursor* slot;
        bool alternate;
    };
    std::vector<Save> saves;
    if (saved_.valid) {
        saves.push_back({&saved_, false});
    }
    if (altSaved_.valid && alternateMode_ != 1049) {
        saves.push_back({&altSaved_, true});
    }
    std::sort(saves.begin(), saves.end(),
              [](const Save& a, const Save& b) { return a.slot->order < b.slot->order; });
    if (alternateMode_ == 0) {
        for (const Save& save : saves) {
            ReplaySave(writer, *save.slot, save.alternate);
        }
        PaintLiveScreen(writer);
    } else {
        for (const Save& save : saves) {
            if (save.slot->order < alternateOrder_) {
                ReplaySave(writer, *save.slot, save.alternate);
            }
        }
        writer.Paint(primaryCells_);
        if (alternateMode_ == 1049) {
            SetSavedState(writer, altSaved_, "\x1b[?1049h");
        } else {
            writer.Raw(QByteArray("\x1b[?" + QByteArray::number(alternateMode_) + 'h'));
        }
        // CSI ? 47 h shows what the alternate screen held before in some terminals,
        // and some clear it with the pen's background: the model's is blank.
        writer.SetPen(Pen{});
        writer.Raw("\x1b[2J");
        for (const Save& save : saves) {
            if (save.slot->order > alternateOrder_) {
                ReplaySave(writer, *save.slot, save.alternate);
            }
        }
        PaintLiveScreen(writer);
    }
    WriteFinalState(writer);
    repaint_ += scanner_.Pending();
    repaintValid_ = true;
    return repaint_;
}

void ScreenModel::ReplaySave(RepaintWriter& writer, const SavedCursor& slot, bool alternateSave)
{
    // A save by CSI ? 1049 h whose alternate screen was left again: entering and leaving
    // saves it in the same slot or slots.
    SetSavedState(writer, slot, alternateSave ? "\x1b[?1049h\x1b[?1049l" : Esc::kSaveCursor);
}

void ScreenModel::SetSavedState(RepaintWriter& writer, const SavedCursor& slot,
                                QByteArrayView action)
{
    // A cursor saved in origin mode is saved with it; origin mode needs a scroll region
    // that holds the cursor's row, and moves count from its top.
    const bool origin = slot.origin && Rows() >= 2;
    if (origin) {
        const int top = qMin(slot.at.row, Rows() - 2);
        writer.Raw(QByteArray("\x1b[" + QByteArray::number(top + 1) + ';' +
                              QByteArray::number(Rows()) + "r\x1b[?6h"));
        writer.SetOriginTop(top);
    }
    writer.MoveTo(slot.at.row, slot.at.col);
    writer.SetPen(slot.pen);
    QByteArray bytes;
    slot.charsets.AppendTo(bytes);
    bytes += action;
    writer.Raw(bytes);
    if (origin) {
        writer.Raw("\x1b[?6l\x1b[r");
        writer.SetOriginTop(0);
    }
}

void ScreenModel::PaintLiveScreen(RepaintWriter& writer)
{
    for (int row = 0; row < Rows(); ++row) {
        screen_->ReadRow(row, row_);
        writer.PaintRow(row, row_.data());
    }
}

void ScreenModel::WriteFinalState(RepaintWriter& writer)
{
    QByteArray modes;
    modes_.AppendTo(modes);
    writer.Append(modes);
    if (regionTop_ != 0 || regionBottom_ != Rows() - 1) {
        writer.Raw(QByteArray("\x1b[" + QByteArray::number(regionTop_ + 1) + ';' +
                              QByteArray::number(regionBottom_ + 1) + 'r'));
    }
    if (modes_.origin) {
        writer.Raw("\x1b[?6h");
        writer.SetOriginTop(regionTop_);
    }
    if (!modes_.autowrap) {
        writer.Append("\x1b[?7l");
    }
    if (PendingWrap()) {
        // The cursor waits after the line's last character for the next one to wrap:
        // writing that character again leaves a terminal waiting the same way.
        const VtermScreen::Glyph glyph = screen_->LastGlyph();
        writer.PaintAt(glyph.at.row, glyph.at.col, screen_->Cell(glyph.at.row, glyph.at.col));
    } else {
        const VtermScreen::Position cursor = screen_->Cursor();
        writer.MoveTo(cursor.row, cursor.col);
    }
    if (modes_.insert) {
        writer.Append("\x1b[4h");
    }
    writer.SetPen(pen_);
    QByteArray charsets;
    charsets_.AppendTo(charsets);
    writer.Append(charsets);
}
