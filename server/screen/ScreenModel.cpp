#include "server/screen/ScreenModel.h"

#include "common/Texts.h"

namespace {

int ClampSize(int size, int least, int most)
{
    return qBound(least, size, most);
}

// How many bytes at the end of the text begin a UTF-8 character it does not finish.
qsizetype UnfinishedCharacter(QByteArrayView text)
{
    for (qsizetype back = 1; back <= qMin<qsizetype>(3, text.size()); ++back) {
        const auto byte = static_cast<uchar>(text[text.size() - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // a continuation byte: look further back for its lead
        }
        const qsizetype length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// The code point a text run starts with, or 0 when it starts inside a character.
char32_t FirstCodePoint(const char* bytes, qsizetype size)
{
    const auto lead = static_cast<uchar>(bytes[0]);
    if (lead < 0x80) {
        return lead;
    }
    int needed = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (needed < 0 || size <= needed) {
        return 0;
    }
    char32_t code = lead & (0x3F >> needed);
    for (int i = 1; i <= needed; ++i) {
        code = (code << 6) | (static_cast<uchar>(bytes[i]) & 0x3F);
    }
    return code;
}

}  // namespace

ScreenModel::ScreenModel(int cols, int rows)
{
    Reset(cols, rows);
}

ScreenModel::~ScreenModel() = default;

void ScreenModel::Reset(int cols, int rows)
{
    cols = ClampSize(cols, kMinCols, kMaxCols);
    rows = ClampSize(rows, 1, kMaxRows);
    screen_ = std::make_unique<VtermScreen>(cols, rows);
    scanner_.Reset();
    toScreen_.clear();
    pen_ = Pen{};
    penKnown_ = true;
    charsets_ = Charsets{};
    modes_ = TerminalModes{};
    tabs_.Reset(cols);
    regionTop_ = 0;
    regionBottom_ = rows - 1;
    saved_ = SavedCursor{};
    altSaved_ = SavedCursor{};
    saveOrder_ = 0;
    alternateMode_ = 0;
    primaryCells_.clear();
    rightAfterText_ = false;
    wrapCandidate_ = false;
    textSinceCleared_ = {};
    doubts_.ClearAll();
    UpdateWritingFlags();
    // libvterm's saved cursor starts where a terminal's does: home, with the default pen.
    toScreen_ += Esc::kSaveCursor;
    Flush();
    repaintValid_ = false;
}

void ScreenModel::Feed(QByteArrayView bytes)
{
    repaintValid_ = false;
    scanner_.Feed(bytes, *this);
    Flush();
}

QString ScreenModel::CannotRepaintReason() const
{
    const QString reason = Blocking();
    return reason.isEmpty() ? QString() : Texts::CannotRepaint.arg(reason);
}

QString ScreenModel::Blocking() const
{
    const QString doubt = doubts_.Blocking(alternateMode_ != 0);
    if (!doubt.isEmpty()) {
        return doubt;
    }
    return penKnown_ ? QString() : Texts::ReasonAttribute;
}

void ScreenModel::Flush()
{
    // A combining character that begins a write, after a character in the last column,
    // corrupts libvterm's memory: it is left out, and the cells are in doubt.
    if (!toScreen_.isEmpty() && static_cast<uchar>(toScreen_[0]) >= 0xC0) {
        const qsizetype length = static_cast<uchar>(toScreen_[0]) >= 0xF0   ? 4
                                 : static_cast<uchar>(toScreen_[0]) >= 0xE0 ? 3
                                                                            : 2;
        const VtermScreen::Glyph last = screen_->LastGlyph();
        if (toScreen_.size() >= length && last.at.col + last.width >= Cols() &&
            CharacterWidth(FirstCodePoint(toScreen_.constData(), length)) == 0) {
            toScreen_.remove(0, length);
            DoubtCells(Texts::ReasonCombining);
        }
    }
    // libvterm does not keep a character cut between two writes: the start of one that
    // the stream has not finished yet waits here.
    const qsizetype held = UnfinishedCharacter(toScreen_);
    screen_->Write(QByteArrayView(toScreen_).first(toScreen_.size() - held));
    toScreen_.remove(0, toScreen_.size() - held);
    const VtermScreen::Problem problem = screen_->TakeProblem();
    if (problem.kind == VtermScreen::Problem::Unfollowed) {
        doubts_.Raise(Doubts::State,
                      Texts::ReasonUnfollowed.arg(QString::fromLatin1(problem.detail)));
    } else if (problem.kind == VtermScreen::Problem::Width) {
        DoubtCells(Texts::ReasonWidth.arg(QString::fromLatin1(problem.detail)));
    } else if (problem.kind == VtermScreen::Problem::WideHalf) {
        DoubtCells(Texts::ReasonWideHalf);
    }
}

void ScreenModel::UpdateWritingFlags()
{
    screen_->SetWritingFlags(WritingFlags());
}

uint16_t ScreenModel::WritingFlags() const
{
    uint16_t flags = pen_.flags;
    if (charsets_.InUse() == Charsets::LineDrawing) {
        flags |= CellFlag::LineDrawing;
    }
    if (pen_.foreground.kind == Color::Basic) {
        flags |= CellFlag::BasicForeground;
    }
    if (pen_.background.kind == Color::Basic) {
        flags |= CellFlag::BasicBackground;
    }
    return flags;
}

void ScreenModel::DoubtCells(const QString& reason)
{
    doubts_.Raise(alternateMode_ != 0 ? Doubts::Alternate : Doubts::Primary, reason);
    doubts_.Raise(Doubts::Cursor, reason);
}

void ScreenModel::ScreenCleared()
{
    doubts_.Clear(alternateMode_ != 0 ? Doubts::Alternate : Doubts::Primary);
    textSinceCleared_[alternateMode_ != 0 ? 1 : 0] = false;
}

void ScreenModel::Backspace()
{
    // At a line's start, some terminals go back to the end of the line above when the
    // text wrapped from it, others stay. Which lines wrapped is not kept: any text written
    // since the screen was last cleared may have.
    if (textSinceCleared_[alternateMode_ != 0 ? 1 : 0]) {
        Flush();
        const VtermScreen::Position cursor = screen_->Cursor();
        if (cursor.col == 0 && cursor.row > 0) {
            DoubtCells(Texts::ReasonDisputed.arg(QStringLiteral("BS at a line's start")));
        }
    }
    toScreen_ += '\b';
    wrapCandidate_ = false;
}

void ScreenModel::DoubtEditAtUnknownCursor()
{
    if (doubts_.Has(Doubts::Cursor)) {
        DoubtCells(doubts_.Reason(Doubts::Cursor));
    }
}

void ScreenModel::Unfollowed(QByteArrayView raw)
{
    doubts_.Raise(Doubts::State,
                  Texts::ReasonUnfollowed.arg(QString::fromLatin1(DescribeSequence(raw))));
}

void ScreenModel::Disputed(QByteArrayView raw)
{
    doubts_.Raise(Doubts::State,
                  Texts::ReasonDisputed.arg(QString::fromLatin1(DescribeSequence(raw))));
}

bool ScreenModel::PendingWrap() const
{
    if (!wrapCandidate_ || !modes_.autowrap) {
        return false;
    }
    const VtermScreen::Glyph glyph = screen_->LastGlyph();
    return glyph.width > 0 && glyph.at == screen_->Cursor() &&
           glyph.at.col + glyph.width == screen_->Cols();
}

void ScreenModel::OnText(const char* bytes, qsizetype size)
{
    if (charsets_.InUse() == Charsets::Other) {
        for (qsizetype i = 0; i < size; ++i) {
            if (static_cast<uchar>(bytes[i]) < 0x80) {
                DoubtCells(Texts::ReasonCharset);
                break;
            }
        }
    }
    if (!penKnown_) {
        DoubtCells(Texts::ReasonAttribute);
    }
    DoubtEditAtUnknownCursor();
    if (modes_.insert) {
        // Inserting moves the rest of the line; where it holds a wide character, or a
        // wide one is inserted, terminals part at the line's end.
        Flush();
        const VtermScreen::Position cursor = screen_->Cursor();
        bool wide = screen_->RowHasWide(cursor.row);
        for (qsizetype i = 0; i < size && !wide; ++i) {
            wide = static_cast<uchar>(bytes[i]) >= 0xE1;  // only these begin wide characters
        }
        if (wide) {
            DoubtCells(Texts::ReasonWideHalf);
        } else if (cursor.col + size >= Cols()) {
            // Inserted text that reaches the line's end: terminals wrap it, or push it
            // past the edge, each their own way.
            DoubtCells(Texts::ReasonDisputed.arg(QStringLiteral("ESC [4h")));
        }
    }
    bool plain = modes_.autowrap;
    for (qsizetype i = 0; i < size && plain; ++i) {
        plain = static_cast<uchar>(bytes[i]) < 0x80;
    }
    if (plain) {
        toScreen_.append(bytes, size);
    } else {
        AppendCheckingColumns(bytes, size);
    }
    rightAfterText_ = true;
    lastTextAscii_ = static_cast<uchar>(bytes[size - 1]) < 0x80;
    lastTextByte_ = bytes[size - 1];
    wrapCandidate_ = true;
    textSinceCleared_[alternateMode_ != 0 ? 1 : 0] = true;
}

void ScreenModel::AppendCheckingColumns(const char* bytes, qsizetype size)
{
    // Some characters need the column they land in looked at, which costs a write to
    // libvterm each: a combining character after a character in the last column (there
    // libvterm corrupts its memory: it is left out, and the cells are in doubt) and,
    // without autowrap, a wide character that does not fit before the line's end (it
    // goes to the next line in libvterm, to the last two columns in tmux) or a
    // combining character after the last column (it joins different cells). Autowrap is
    // nearly always on, and combining characters are few.
    qsizetype written = 0;
    qsizetype i = 0;
    while (i < size && (static_cast<uchar>(bytes[i]) & 0xC0) == 0x80) {
        ++i;  // the end of a character the frame before began
    }
    while (i < size) {
        const auto lead = static_cast<uchar>(bytes[i]);
        const qsizetype length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        const int width = length > 1 && i + length <= size
                              ? CharacterWidth(FirstCodePoint(bytes + i, length))
                              : 1;
        if (width == 0 || (width == 2 && !modes_.autowrap)) {
            toScreen_.append(bytes + written, i - written);
            written = i;
            Flush();
            const VtermScreen::Position cursor = screen_->Cursor();
            const VtermScreen::Glyph last = screen_->LastGlyph();
            const bool atEnd = (wrapCandidate_ || i > 0) && last.at == cursor &&
                               last.at.col + last.width == Cols();
            if (width == 0 && atEnd) {
                DoubtCells(modes_.autowrap ? Texts::ReasonCombining : Texts::ReasonWideAtEdge);
                written = i + length;  // left out
            } else if (width == 2 && cursor.col + 2 >= Cols()) {
                // Reaching the last column is enough: what comes after it there differs.
                DoubtCells(Texts::ReasonWideAtEdge);
            }
        }
        i += length;
    }
    if (written < size) {
        toScreen_.append(bytes + written, size - written);
    }
}

void ScreenModel::OnControl(uchar byte)
{
    rightAfterText_ = false;
    switch (byte) {
        case 0x0A:  // LF
        case 0x0B:  // VT
        case 0x0C:  // FF
            // May scroll, which from an unknown row changes unknown lines.
            DoubtEditAtUnknownCursor();
            [[fallthrough]];
        case 0x09:  // HT
        case 0x0D:  // CR
            toScreen_ += static_cast<char>(byte);
            wrapCandidate_ = false;
            break;
        case 0x08:  // BS
            Backspace();
            break;
        case 0x0E:  // SO: G1 in use
        case 0x0F:  // SI: G0 in use
            Flush();
            charsets_.shift = byte == 0x0E ? 1 : 0;
            UpdateWritingFlags();
            break;
        default:
            break;  // BEL and the controls terminals ignore
    }
}

void ScreenModel::OnString(char introducer, QByteArrayView body, bool truncated)
{
    Q_UNUSED(truncated);
    rightAfterText_ = false;
    if (introducer == ']') {
        OscString(body);
    } else if (introducer == 'P') {
        DcsString(body);
    } else if (introducer == '_' && body.startsWith("G")) {
        DoubtCells(Texts::ReasonGraphics);  // a picture in the kitty protocol
    }
    // SOS and PM strings, and other APC strings, show nothing.
}

void ScreenModel::OscString(QByteArrayView body)
{
    const qsizetype semicolon = body.indexOf(';');
    bool isNumber = false;
    const int command = body.first(semicolon < 0 ? body.size() : semicolon).toInt(&isNumber);
    if (!isNumber) {
        return;
    }
    // The palette and the default colours change how cells already drawn look. A query
    // ("?") only asks.
    const bool palette = command == 4 || command == 5 || (command >= 10 && command <= 19) ||
                         command == 104 || command == 105 || (command >= 110 && command <= 119);
    if (palette && !body.sliced(semicolon + 1).endsWith("?")) {
        doubts_.Raise(Doubts::State, Texts::ReasonPalette);
    }
}

void ScreenModel::DcsString(QByteArrayView body)
{
    // The final byte of the string's own sequence: sixel pictures end it with 'q' and
    // have no intermediate byte, soft fonts with '{'.
    qsizetype i = 0;
    while (i < body.size() && body[i] >= 0x30 && body[i] <= 0x3F) {
        ++i;
    }
    const bool intermediate = i < body.size() && body[i] >= 0x20 && body[i] <= 0x2F;
    while (i < body.size() && body[i] >= 0x20 && body[i] <= 0x2F) {
        ++i;
    }
    if (i >= body.size()) {
        return;
    }
    if (body[i] == 'q' && !intermediate) {
        DoubtCells(Texts::ReasonGraphics);
    } else if (body[i] == '{') {
        doubts_.Raise(Doubts::State, Texts::ReasonGraphics);
    }
}

void ScreenModel::OnMalformed(EscapeScanner::Malformed kind, QByteArrayView bytes)
{
    rightAfterText_ = false;
    switch (kind) {
        case EscapeScanner::Malformed::InvalidUtf8:
        case EscapeScanner::Malformed::C1InUtf8:
            DoubtCells(kind == EscapeScanner::Malformed::InvalidUtf8 ? Texts::ReasonInvalidUtf8
                                                                     : Texts::ReasonC1InUtf8);
            // libvterm is not given them: its decoder keeps a broken character across
            // controls and shows it after a later clear, it runs some C1 characters as
            // controls, and one in insert mode makes it move memory it does not own.
            if (toScreen_.endsWith(bytes)) {
                toScreen_.chop(bytes.size());
            }
            break;
        case EscapeScanner::Malformed::LoneCombining:
            // libvterm gives the cell the pen of the moment, others keep the base's, and
            // where the cursor moved in between they disagree on which cell it joins.
            DoubtCells(Texts::ReasonCombining);
            break;
        case EscapeScanner::Malformed::LongSequence:
        case EscapeScanner::Malformed::NonAsciiSequence:
            doubts_.Raise(Doubts::State, Texts::ReasonMalformedSequence);
            break;
    }
}

void ScreenModel::Resize(int cols, int rows)
{
    cols = ClampSize(cols, kMinCols, kMaxCols);
    rows = ClampSize(rows, 1, kMaxRows);
    if (cols == Cols() && rows == Rows()) {
        return;
    }
    Flush();
    const VtermScreen::Position cursor = screen_->Cursor();
    // Terminals rewrap lines, or not, and bring back lines kept above the screen when
    // they grow taller: only a blank screen with nothing to bring back comes out the
    // same everywhere.
    const bool followable = alternateMode_ == 0 && screen_->IsBlank() &&
                            (rows <= Rows() || !screen_->ScrolledOff()) && tabs_.IsDefault() &&
                            cursor.row < rows && cursor.col < cols;
    screen_->Resize(cols, rows);
    if (alternateMode_ != 0) {
        primaryCells_.assign(static_cast<size_t>(cols) * static_cast<size_t>(rows), ScreenCell{});
    }
    tabs_.Reset(cols);
    regionTop_ = 0;
    regionBottom_ = rows - 1;
    // The scroll region goes back to the whole screen, which moves libvterm's cursor
    // home; it goes back where the terminal's stays.
    const VtermScreen::Position kept{qMin(cursor.row, rows - 1), qMin(cursor.col, cols - 1)};
    toScreen_ += QByteArray("\x1b[r\x1b[") + QByteArray::number(kept.row + 1) + ';' +
                 QByteArray::number(kept.col + 1) + 'H';
    Flush();
    if (!followable) {
        doubts_.Raise(Doubts::Primary, Texts::ReasonResize);
        if (alternateMode_ != 0) {
            doubts_.Raise(Doubts::Alternate, Texts::ReasonResize);
        }
        doubts_.Raise(Doubts::Cursor, Texts::ReasonResize);
    }
    for (SavedCursor* slot : {&saved_, &altSaved_}) {
        if (slot->valid && (slot->at.row >= rows || slot->at.col >= cols)) {
            slot->known = false;
            doubts_.Raise(Doubts::SavedCursor, Texts::ReasonResize);
        }
    }
    if (OnResize) {
        OnResize(cols, rows);
    }
}
