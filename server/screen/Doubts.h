#pragma once

#include <QString>
#include <array>

// What the model can no longer vouch for, each with the reason it first lost track.
// Each kind ends by its own event: the whole state only by a reset, the cursor by an
// absolute move, a screen's cells by a full clear, a saved cursor by a new save.
class Doubts
{
public:
    enum Kind
    {
        State,        // modes or sequences the model cannot follow
        Cursor,       // where the cursor stands
        Primary,      // the cells of the primary screen
        Alternate,    // the cells of the alternate screen
        SavedCursor,  // a cursor saved for a later restore
        kKinds
    };

    void Raise(Kind kind, const QString& reason)
    {
        QString& slot = reasons_[static_cast<size_t>(kind)];
        if (slot.isEmpty()) {
            slot = reason;
        }
    }
    void Clear(Kind kind) { reasons_[static_cast<size_t>(kind)].clear(); }
    void ClearAll() { reasons_.fill(QString()); }
    bool Has(Kind kind) const { return !reasons_[static_cast<size_t>(kind)].isEmpty(); }
    const QString& Reason(Kind kind) const { return reasons_[static_cast<size_t>(kind)]; }

    // The reason that stands in the way of a repaint now, or empty. The alternate
    // screen's cells count only while it is shown; the primary's count always, since
    // leaving the alternate screen shows them again.
    QString Blocking(bool onAlternate) const
    {
        for (Kind kind : {State, Cursor, SavedCursor, Primary, Alternate}) {
            if (kind == Alternate && !onAlternate) {
                continue;
            }
            if (Has(kind)) {
                return reasons_[static_cast<size_t>(kind)];
            }
        }
        return {};
    }

private:
    std::array<QString, kKinds> reasons_;
};
