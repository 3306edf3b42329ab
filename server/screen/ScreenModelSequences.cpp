// How the screen model takes escape and control sequences: which it hands to libvterm,
// which it keeps itself, and which terminals disagree on.
#include "common/Texts.h"
#include "server/screen/ScreenModel.h"

namespace {

bool IsDesignation(const EscapeSequence& escape)
{
    return !escape.intermediates.isEmpty() &&
           QByteArrayView("()*+-./").contains(escape.intermediates[0]);
}

// Sequences with intermediate bytes that change the screen in the terminals that know
// them and nothing in the others (tmux, libvterm): rectangular edits, horizontal
// scrolling, column insertion, conformance levels, lines per screen, the SGR stack.
bool ChangesScreenAlone(const CsiSequence& csi)
{
    const QByteArrayView inter = csi.intermediates;
    const char f = csi.finalByte;
    if (inter == " ") {
        return f == '@' || f == 'A';
    }
    if (inter == "$") {
        return QByteArrayView("rtvxz{|}~").contains(f);
    }
    if (inter == "'") {
        return f == '}' || f == '~';
    }
    if (inter == "\"") {
        return f == 'p';
    }
    if (inter == "*") {
        return f == '|';
    }
    if (inter == "#") {
        return QByteArrayView("{}pq").contains(f);
    }
    return false;
}

QByteArray ModeSequence(int mode, bool privateMode, bool on)
{
    return QByteArray(privateMode ? "\x1b[?" : "\x1b[") + QByteArray::number(mode) +
           (on ? 'h' : 'l');
}

}  // namespace

void ScreenModel::OnEscape(const EscapeSequence& escape)
{
    rightAfterText_ = false;
    keepsWrap_ = true;
    if (IsDesignation(escape)) {
        Flush();
        charsets_.Designate(escape);
        UpdateWritingFlags();
        return;
    }
    const QByteArrayView inter = escape.intermediates;
    if (inter.isEmpty()) {
        switch (escape.finalByte) {
            case '7':
                SaveCursor(saved_);
                Pass(Esc::kSaveCursor);
                break;
            case '8':
                keepsWrap_ = false;
                RestoreCursor();
                break;
            case 'D':  // IND
            case 'M':  // RI
            case 'E':  // NEL
                keepsWrap_ = false;
                DoubtEditAtUnknownCursor();
                if (escape.finalByte != 'E') {
                    DoubtWrapKept(escape.raw);
                }
                Pass(escape.raw);
                break;
            case 'H':  // HTS
                Flush();
                if (doubts_.Has(Doubts::Cursor)) {
                    doubts_.Raise(Doubts::State, doubts_.Reason(Doubts::Cursor));
                }
                tabs_.Set(screen_->Cursor().col);
                Pass(escape.raw);
                break;
            case 'c':
                keepsWrap_ = false;
                HardReset(escape);
                break;
            case '=':
            case '>':
                modes_.keypadApplication = escape.finalByte == '=';
                break;
            case 'N':  // SS2
            case 'O':  // SS3
            case 'n':  // LS2
            case 'o':  // LS3
                Disputed(escape.raw);
                break;
            case 'Z':   // identify: only asks
            case '\\':  // a string terminator on its own
            case 'F':   // HP lower-left, off in terminals by default
            case 'g':   // visual bell
            case '<':   // leave VT52 mode
            case '|':   // GR shifts: not used with UTF-8
            case '}':
            case '~':
                break;
            default:
                Unfollowed(escape.raw);
                break;
        }
    } else if (inter == "#") {
        if (escape.finalByte == '8') {
            keepsWrap_ = false;
            Alignment();
        } else if (escape.finalByte != '5') {
            Disputed(escape.raw);  // double-width and double-height lines
        }
    } else if (inter == "%") {
        if (escape.finalByte != 'G') {
            Disputed(escape.raw);  // leaving UTF-8
        }
    } else if (inter == " ") {
        if (escape.finalByte != 'F' && escape.finalByte != 'G') {
            Disputed(escape.raw);  // ANSI conformance levels
        }
    } else {
        Unfollowed(escape.raw);
    }
    if (!keepsWrap_) {
        wrapCandidate_ = false;
    }
}

void ScreenModel::DoubtWrapKept(QByteArrayView raw)
{
    // A wrap pending at the line's end survives IND and RI in some terminals, which then
    // wrap the next character, and not in others. The line is the same in both.
    Flush();
    if (PendingWrap()) {
        doubts_.Raise(Doubts::Cursor, Texts::ReasonDisputed.arg(QString::fromLatin1(
                                          DescribeSequence(raw) + " at a pending wrap")));
    }
}

void ScreenModel::OnCsi(const CsiSequence& csi)
{
    const bool afterText = rightAfterText_ && lastTextAscii_;
    rightAfterText_ = false;
    if (csi.count > VtermScreen::kMaxParameters && !csi.Is('m')) {
        // Terminals keep from 16 to 30 parameters and then drop the rest, or the whole
        // sequence. (SGR is given to libvterm anew, with few.)
        Disputed(csi.raw);
        return;
    }
    keepsWrap_ = true;
    const QByteArrayView inter = csi.intermediates;
    if (inter.isEmpty() && csi.leader == 0) {
        PlainCsi(csi, afterText);
    } else if (inter.isEmpty() && csi.leader == '?') {
        PrivateCsi(csi);
    } else if (inter.isEmpty()) {
        // '>', '<' and '=': keyboard protocols, modifier settings and queries.
    } else if (csi.Is('q', 0, " ")) {
        modes_.cursorStyle = csi.Value(0, 0);
    } else if (csi.Is('p', 0, "!")) {
        SoftReset(csi);
    } else if (ChangesScreenAlone(csi)) {
        Disputed(csi.raw);
    }
    // Other sequences with intermediate bytes ask, or set what shows nothing (the
    // protection attribute, key and report settings); terminals that do not know one
    // ignore it.
    if (!keepsWrap_) {
        wrapCandidate_ = false;
    }
}

void ScreenModel::PlainCsi(const CsiSequence& csi, bool afterText)
{
    if (csi.finalByte == 'm') {
        Sgr(csi);
        return;
    }
    if (csi.HasSubparameters()) {
        Unfollowed(csi.raw);
        return;
    }
    switch (csi.finalByte) {
        case 'H':  // CUP
        case 'f':  // HVP
            keepsWrap_ = false;
            Pass(csi.raw);
            doubts_.Clear(Doubts::Cursor);
            break;
        case 'A':  // CUU
        case 'F':  // CPL
            keepsWrap_ = false;
            MoveVertically(-csi.Count(0), csi.finalByte == 'F', csi.raw);
            break;
        case 'B':  // CUD
        case 'E':  // CNL
        case 'e':  // VPR
            keepsWrap_ = false;
            MoveVertically(csi.Count(0), csi.finalByte == 'E', csi.raw);
            break;
        case 'C':  // CUF
        case 'D':  // CUB
        case 'G':  // CHA
        case 'I':  // CHT
        case 'Z':  // CBT
        case '`':  // HPA
        case 'a':  // HPR
        case 'd':  // VPA
        case 'S':  // SU
            keepsWrap_ = false;
            Pass(csi.raw);
            break;
        case 'L':  // IL
        case 'M':  // DL
            // Outside the scroll region xterm and libvterm ignore them, tmux moves the
            // lines below the cursor.
            if (regionTop_ != 0 || regionBottom_ != Rows() - 1) {
                Flush();
                const int row = screen_->Cursor().row;
                if (row < regionTop_ || row > regionBottom_) {
                    DoubtCells(
                        Texts::ReasonDisputed.arg(QString::fromLatin1(DescribeSequence(csi.raw))));
                }
            }
            [[fallthrough]];
        case '@':  // ICH
        case 'P':  // DCH
            keepsWrap_ = false;
            DoubtEditAtUnknownCursor();
            DoubtSplitWide(csi);
            InsertOrDeleteCharacters(csi.raw);
            break;
        case 'K':  // EL
        case 'X':  // ECH
            keepsWrap_ = false;
            DoubtEditAtUnknownCursor();
            DoubtSplitWide(csi);
            Pass(csi.raw);
            break;
        case 'T':
            // With more than one parameter it starts xterm's mouse highlighting.
            if (csi.count <= 1) {
                keepsWrap_ = false;
                Pass(csi.raw);
            }
            break;
        case 'J':
            keepsWrap_ = false;
            EraseDisplay(csi);
            break;
        case 'b':  // REP
            keepsWrap_ = false;
            // Terminals repeat the last character only right after it, and not all of
            // them a wide one. libvterm is given the characters themselves: it would
            // not insert them in insert mode.
            if (afterText) {
                // Past the line's end, xterm and libvterm wrap as for text, tmux stops.
                Flush();
                if (screen_->Cursor().col + csi.Count(0) > Cols()) {
                    DoubtCells(
                        Texts::ReasonDisputed.arg(QString::fromLatin1(DescribeSequence(csi.raw))));
                }
                const QByteArray repeated(qMin(csi.Count(0), Cols() * Rows() + Cols()),
                                          lastTextByte_);
                OnText(repeated.constData(), repeated.size());
                // It writes characters as text does, and may leave a wrap pending.
                keepsWrap_ = true;
                wrapCandidate_ = true;
            } else {
                DoubtCells(
                    Texts::ReasonDisputed.arg(QString::fromLatin1(DescribeSequence(csi.raw))));
            }
            break;
        case 'g':  // TBC
            Flush();
            if (csi.Value(0, 0) == 0) {
                tabs_.Clear(screen_->Cursor().col);
            } else if (csi.Value(0, 0) == 3) {
                tabs_.ClearAll();
            }
            Pass(csi.raw);
            break;
        case 'h':
        case 'l':
            SetAnsiModes(csi, csi.finalByte == 'h');
            break;
        case 'r':
            SetScrollRegion(csi);
            break;
        case 's':  // SCOSC
            SaveCursor(saved_);
            Pass(Esc::kSaveCursor);
            break;
        case 'u':  // SCORC
            keepsWrap_ = false;
            RestoreCursor();
            break;
        case 't':
            WindowOperation(csi);
            break;
        case 'n':  // reports
        case 'c':  // device attributes
        case 'i':  // printing
        case 'x':  // terminal parameters
        case 'q':  // keyboard lights
        case 'y':  // self tests
            break;
        default:
            Unfollowed(csi.raw);
            break;
    }
}

void ScreenModel::MoveVertically(int rows, bool toFirstColumn, QByteArrayView raw)
{
    // A cursor inside the scroll region stops at its edge, one outside at the screen's;
    // libvterm stops only at the screen's, so it is told where the cursor goes.
    if (regionTop_ == 0 && regionBottom_ == Rows() - 1) {
        Pass(raw);
        return;
    }
    Flush();
    const VtermScreen::Position cursor = screen_->Cursor();
    int row = cursor.row + rows;
    if (rows < 0) {
        row = qMax(row, cursor.row >= regionTop_ ? regionTop_ : 0);
    } else {
        row = qMin(row, cursor.row <= regionBottom_ ? regionBottom_ : Rows() - 1);
    }
    const int col = toFirstColumn ? 0 : cursor.col;
    // In origin mode libvterm counts rows from the region's top, and stays inside it,
    // where the cursor already is.
    const int from = modes_.origin ? regionTop_ : 0;
    Pass(QByteArray("\x1b[" + QByteArray::number(row - from + 1) + ';' +
                    QByteArray::number(col + 1) + 'H'));
}

void ScreenModel::PrivateCsi(const CsiSequence& csi)
{
    switch (csi.finalByte) {
        case 'h':
        case 'l':
            for (int i = 0; i < csi.count; ++i) {
                if (i == 0 || !csi.parameters[i - 1].followedBySub) {
                    SetPrivateMode(csi.parameters[i].value, csi.finalByte == 'h', csi);
                }
            }
            break;
        case 'J':  // selective erase: some terminals erase, others ignore it
        case 'K':
        case 'W':  // tab stops every eight columns
        case 'r':  // restores modes saved with CSI ? s
            Disputed(csi.raw);
            break;
        default:
            break;  // queries, and CSI ? s, which only saves
    }
}

void ScreenModel::InsertOrDeleteCharacters(QByteArrayView raw)
{
    // libvterm does nothing on a line outside the scroll region, where terminals insert
    // and delete as anywhere: there it is given the whole screen as region for the
    // moment. (With origin mode on the cursor never leaves the region.)
    const VtermScreen::Position at = screen_->Cursor();  // DoubtSplitWide has flushed
    if (modes_.origin || (at.row >= regionTop_ && at.row <= regionBottom_)) {
        Pass(raw);
        return;
    }
    const QByteArray back =
        "\x1b[" + QByteArray::number(at.row + 1) + ';' + QByteArray::number(at.col + 1) + 'H';
    Pass(QByteArray("\x1b[r" + back));
    Pass(raw);
    Pass(QByteArray("\x1b[" + QByteArray::number(regionTop_ + 1) + ';' +
                    QByteArray::number(regionBottom_ + 1) + 'r' + back));
}

void ScreenModel::DoubtSplitWide(const CsiSequence& csi)
{
    // While a wrap is pending, tmux's cursor stands past the last column, xterm's and
    // libvterm's on it: an edit there changes the last cell in some and not others.
    Flush();
    if (PendingWrap()) {
        DoubtCells(Texts::ReasonDisputed.arg(QString::fromLatin1(DescribeSequence(csi.raw))));
    }
    // Inserting, deleting or erasing part of a wide character leaves half of it, which
    // terminals clear, keep or move each their own way.
    const VtermScreen::Position at = screen_->Cursor();
    const int count = csi.Count(0);
    bool splits = false;
    switch (csi.finalByte) {
        case '@':
        case 'P':
            splits = screen_->RowHasWide(at.row);
            break;
        case 'X':
            splits = screen_->IsWideHead(at.row, at.col - 1) ||
                     screen_->IsWideHead(at.row, at.col + count - 1);
            break;
        case 'J':
        case 'K': {
            const int mode = csi.Value(0, 0);
            splits = (mode == 0 && screen_->IsWideHead(at.row, at.col - 1)) ||
                     (mode == 1 && screen_->IsWideHead(at.row, at.col));
            break;
        }
        default:
            break;
    }
    if (splits) {
        DoubtCells(Texts::ReasonWideHalf);
    }
}

void ScreenModel::EraseDisplay(const CsiSequence& csi)
{
    const int mode = csi.Value(0, 0);
    if (mode == 3) {
        // Erases the lines kept above the screen, not the screen; libvterm keeps none.
        screen_->ForgetScrolledOff();
        return;
    }
    Flush();
    const VtermScreen::Position cursor = screen_->Cursor();
    const bool cursorKnown = !doubts_.Has(Doubts::Cursor);
    const bool whole =
        mode == 2 || (cursorKnown && mode == 0 && cursor == VtermScreen::Position{0, 0}) ||
        (cursorKnown && mode == 1 && cursor == VtermScreen::Position{Rows() - 1, Cols() - 1});
    if (!whole) {
        DoubtEditAtUnknownCursor();
        DoubtSplitWide(csi);
    }
    Pass(csi.raw);
    if (whole) {
        ScreenCleared();
    }
}

void ScreenModel::SetAnsiModes(const CsiSequence& csi, bool on)
{
    for (int i = 0; i < csi.count; ++i) {
        const int mode = csi.parameters[i].value;
        if (mode == 4) {  // IRM
            modes_.insert = on;
            Pass(ModeSequence(4, false, on));
        } else if (mode == 20 && on) {
            // Newline mode: xterm and libvterm return the carriage on LF, tmux does not.
            Disputed(csi.raw);
            Pass(ModeSequence(20, false, on));
        }
        // Others change nothing a viewer sees.
    }
}

void ScreenModel::SetPrivateMode(int mode, bool on, const CsiSequence& csi)
{
    switch (TerminalModes::PrivateModeKind(mode)) {
        case TerminalModes::Kind::Replayed:
            modes_.SetPrivate(mode, on);
            return;
        case TerminalModes::Kind::Ignored:
            return;
        case TerminalModes::Kind::Unfollowed:
            if (on) {
                Disputed(csi.raw);
            }
            return;
        case TerminalModes::Kind::Screen:
            break;
    }
    switch (mode) {
        case 3:
            // 132/80 columns: tmux clears the screen and homes the cursor, xterm by
            // default ignores it; the same only on a blank screen with the cursor home.
            Flush();
            if (!screen_->IsBlank() || screen_->Cursor() != VtermScreen::Position{} ||
                doubts_.Has(Doubts::Cursor)) {
                Disputed(csi.raw);
            }
            break;
        case 6:
            keepsWrap_ = false;
            modes_.origin = on;
            Pass(ModeSequence(6, true, on));
            doubts_.Clear(Doubts::Cursor);  // it moves the cursor home
            break;
        case 7:
            keepsWrap_ = false;
            // Turned off while a wrap is pending, tmux's cursor stays past the last
            // column, xterm's and libvterm's on it.
            Flush();
            if (!on && PendingWrap()) {
                doubts_.Raise(Doubts::Cursor, Texts::ReasonDisputed.arg(
                                                  QString::fromLatin1(DescribeSequence(csi.raw))));
            }
            modes_.autowrap = on;
            Pass(ModeSequence(7, true, on));
            break;
        case 1048:
            if (on) {
                SaveCursor(saved_);
                Pass(Esc::kSaveCursor);
            } else {
                keepsWrap_ = false;
                RestoreCursor();
            }
            break;
        default:  // 47, 1047, 1049
            keepsWrap_ = false;
            if (on) {
                EnterAlternate(mode, csi);
            } else {
                LeaveAlternate(mode, csi);
            }
            break;
    }
}

void ScreenModel::Sgr(const CsiSequence& csi)
{
    const Pen before = pen_;
    const uint16_t flagsBefore = WritingFlags();
    const bool ok = ApplySgr(pen_, csi);
    if (!ok) {
        penKnown_ = false;
    } else if (csi.count == 0 || csi.parameters[0].value <= 0) {
        penKnown_ = true;  // it began by resetting the whole pen
    }
    if (pen_ == before) {
        return;
    }
    // libvterm keeps the colours itself, in order; the other attributes are given to
    // the cells as libvterm reports them written, so the text before must be written
    // before they change.
    if (WritingFlags() != flagsBefore) {
        Flush();
        UpdateWritingFlags();
    }
    if (pen_.foreground != before.foreground || pen_.background != before.background) {
        AppendColorsOnly(toScreen_, pen_);
    }
}

void ScreenModel::SetScrollRegion(const CsiSequence& csi)
{
    const int top = csi.Count(0, 1);
    const int bottom = qMin(csi.Count(1, Rows()), Rows());
    if (top >= bottom) {
        return;  // terminals ignore a region of less than two lines
    }
    keepsWrap_ = false;
    regionTop_ = top - 1;
    regionBottom_ = bottom - 1;
    Pass(QByteArray("\x1b[" + QByteArray::number(top) + ';' + QByteArray::number(bottom) + 'r'));
    // It moves the cursor home: in origin mode xterm and libvterm take the region's top
    // for home, tmux the screen's.
    if (modes_.origin && regionTop_ != 0) {
        doubts_.Raise(Doubts::Cursor,
                      Texts::ReasonDisputed.arg(QString::fromLatin1(DescribeSequence(csi.raw))));
    } else {
        doubts_.Clear(Doubts::Cursor);
    }
}

void ScreenModel::WindowOperation(const CsiSequence& csi)
{
    const int operation = csi.Value(0, 0);
    if (operation == 8) {
        // Height then width; an omitted or zero one stays as it is.
        const int rows = csi.Value(1, 0) > 0 ? csi.Value(1, 0) : Rows();
        const int cols = csi.Value(2, 0) > 0 ? csi.Value(2, 0) : Cols();
        keepsWrap_ = false;
        Resize(cols, rows);
    } else if (operation >= 24) {
        keepsWrap_ = false;
        Resize(Cols(), operation);  // DECSLPP: that many lines
    }
    // The rest move, raise or report the window, or keep titles: nothing on the screen.
}

void ScreenModel::SaveCursor(SavedCursor& slot)
{
    Flush();
    slot.valid = true;
    slot.order = ++saveOrder_;
    slot.at = screen_->Cursor();
    slot.pen = pen_;
    slot.penKnown = penKnown_;
    slot.charsets = charsets_;
    slot.origin = modes_.origin;
    // tmux and xterm keep a pending wrap with the saved cursor, libvterm does not.
    const bool atWrap = PendingWrap();
    slot.known = !doubts_.Has(Doubts::Cursor) && !atWrap;
    if (!slot.known) {
        doubts_.Raise(Doubts::SavedCursor,
                      atWrap ? Texts::ReasonSavedAtWrap : doubts_.Reason(Doubts::Cursor));
    } else if ((!saved_.valid || saved_.known) && (!altSaved_.valid || altSaved_.known)) {
        doubts_.Clear(Doubts::SavedCursor);
    }
}

void ScreenModel::RestoreCursor()
{
    Flush();
    // xterm and libvterm keep one slot for ESC 7 and CSI ? 1049 h, tmux two: they
    // restore the same when ESC 7 saved last, or when both saved the same.
    if (altSaved_.valid && altSaved_.order > saved_.order && !altSaved_.SameAs(saved_)) {
        Disputed(Esc::kRestoreCursor);
    }
    const SavedCursor& slot = saved_;
    if (modes_.origin != slot.origin) {
        // libvterm does not keep origin mode with the cursor; set it first, so that the
        // restore puts the cursor back after the mode's move home.
        Pass(ModeSequence(6, true, slot.origin));
        modes_.origin = slot.origin;
    }
    pen_ = slot.pen;
    penKnown_ = slot.penKnown;
    charsets_ = slot.charsets;
    Pass(Esc::kRestoreCursor);
    UpdateWritingFlags();
    // In origin mode, a cursor saved outside the scroll region now in force comes back
    // in it in some terminals, where it was in others.
    const bool outside = slot.origin && (slot.at.row < regionTop_ || slot.at.row > regionBottom_);
    if (outside) {
        doubts_.Raise(Doubts::Cursor, Texts::ReasonDisputed.arg(QStringLiteral("ESC 8")));
    } else if (slot.known) {
        doubts_.Clear(Doubts::Cursor);
    } else {
        doubts_.Raise(Doubts::Cursor, doubts_.Reason(Doubts::SavedCursor));
    }
}

void ScreenModel::EnterAlternate(int mode, const CsiSequence& csi)
{
    if (alternateMode_ != 0) {
        // Already there: terminals do nothing, except that CSI ? 1049 h saves the cursor
        // again in some and not in others.
        if (mode == 1049) {
            Disputed(csi.raw);
        }
        return;
    }
    Flush();
    if (mode == 1049) {
        SaveCursor(altSaved_);
        alternateOrder_ = altSaved_.order;
    } else {
        alternateOrder_ = ++saveOrder_;
    }
    screen_->ReadScreen(primaryCells_);
    // libvterm clears the new screen with the pen's background, tmux with the default
    // one; the clear here makes libvterm's blank as tmux's, and a coloured pen is noted.
    QByteArray sequence = mode == 1049 ? "\x1b[?1049h" : "\x1b[?1047h";
    sequence += "\x1b[0m\x1b[2J";
    AppendColorsOnly(sequence, pen_);
    screen_->SwitchScreen(true, sequence);
    alternateMode_ = mode;
    doubts_.Clear(Doubts::Alternate);
    if (pen_.background.kind != Color::Default) {
        doubts_.Raise(Doubts::Alternate, Texts::ReasonAlternateBackground);
    }
}

void ScreenModel::LeaveAlternate(int mode, const CsiSequence& csi)
{
    if (mode == 1049) {
        // xterm restores the cursor from its one slot, with the character sets and
        // origin mode; tmux from the slot CSI ? 1049 h filled, and neither of those.
        // They agree when nothing was saved since and those have not changed.
        const bool agree = altSaved_.valid && altSaved_.order > saved_.order &&
                           altSaved_.charsets == charsets_ && altSaved_.origin == modes_.origin;
        if (!agree) {
            Disputed(csi.raw);
        }
    }
    if (alternateMode_ == 0 && mode != 1049) {
        return;
    }
    Flush();
    screen_->SwitchScreen(false, mode == 1049 ? "\x1b[?1049l" : "\x1b[?1047l");
    if (alternateMode_ != 0) {
        alternateMode_ = 0;
        primaryCells_.clear();
        doubts_.Clear(Doubts::Alternate);
    }
    if (mode == 1049) {
        pen_ = altSaved_.pen;
        penKnown_ = altSaved_.penKnown;
        UpdateWritingFlags();
        if (altSaved_.known) {
            doubts_.Clear(Doubts::Cursor);
        } else {
            doubts_.Raise(Doubts::Cursor, doubts_.Reason(Doubts::SavedCursor));
        }
    }
}

void ScreenModel::HardReset(const EscapeSequence& escape)
{
    if (alternateMode_ != 0) {
        // xterm and libvterm return to the primary screen, tmux stays where it is.
        Disputed(escape.raw);
        return;
    }
    Flush();
    // The reset leaves libvterm's saved cursor as it was; a terminal's goes home.
    Pass(Esc::kReset);
    Pass(Esc::kSaveCursor);
    pen_ = Pen{};
    penKnown_ = true;
    charsets_ = Charsets{};
    modes_ = TerminalModes{};
    tabs_.Reset(Cols());
    regionTop_ = 0;
    regionBottom_ = Rows() - 1;
    saved_ = SavedCursor{};
    altSaved_ = SavedCursor{};
    textSinceCleared_ = {};
    doubts_.ClearAll();
    Flush();
    UpdateWritingFlags();
}

bool ScreenModel::AtDefaults() const
{
    return pen_ == Pen{} && penKnown_ && charsets_ == Charsets{} && modes_.autowrap &&
           !modes_.origin && !modes_.insert && !modes_.keypadApplication &&
           modes_.Private(25, true) && !modes_.Private(1, false) && regionTop_ == 0 &&
           regionBottom_ == Rows() - 1 && !saved_.valid;
}

void ScreenModel::SoftReset(const CsiSequence& csi)
{
    // tmux ignores a soft reset, xterm and libvterm reset modes, the pen, the
    // character sets, the scroll region and the saved cursor: the same only where all
    // those are at their defaults already (as after ESC c, which reset sends first).
    if (!AtDefaults()) {
        Disputed(csi.raw);
    }
}

void ScreenModel::Alignment()
{
    // DECALN fills the screen with E in the default pen, resets the scroll region and
    // moves home; libvterm keeps the region and uses the pen, so it is told both.
    Flush();
    screen_->SetWritingFlags(0);
    toScreen_ += "\x1b[0m\x1b#8\x1b[r";
    Flush();
    AppendColorsOnly(toScreen_, pen_);
    UpdateWritingFlags();
    regionTop_ = 0;
    regionBottom_ = Rows() - 1;
    ScreenCleared();
    doubts_.Clear(Doubts::Cursor);
}
