// The screen model without a terminal: what it cannot repaint and why, when it can again,
// resizes, the cached repaint, streams cut at every byte, the sequences its scanner
// reports, and the SGR it writes.
#include <gtest/gtest.h>

#include <random>

#include "common/Texts.h"
#include "server/screen/EscapeScanner.h"
#include "server/screen/Pen.h"
#include "server/screen/ScreenModel.h"

namespace {

std::string Reason(const ScreenModel& model)
{
    return model.CannotRepaintReason().toStdString();
}

// Streams that a terminal cannot be shown exactly, each with the reason given and a
// stream after which the model can repaint again (empty: only a reset helps).
struct Unrepaintable
{
    const char* name;
    QByteArray stream;
    QString reason;
    QByteArray recovery;
};

TEST(ScreenModel, SaysWhyItCannotRepaintAndWhenItCanAgain)
{
    const QByteArray clear = "\x1b[H\x1b[2J";
    const std::vector<Unrepaintable> cases = {
        // IBM graphics, as old recordings drew boxes.
        {"cp437 box", "\xc9\xcd\xcd\xbb", Texts::ReasonInvalidUtf8, clear},
        {"cut character", "\xe6\x97 ", Texts::ReasonInvalidUtf8, clear},
        {"C1 as UTF-8", "\xc2\x9b", Texts::ReasonC1InUtf8, clear},
        {"newline mode", "\x1b[20h", Texts::ReasonDisputed.arg("ESC [20h"), ""},
        {"margins", "\x1b[?69h", Texts::ReasonDisputed.arg("ESC [?69h"), ""},
        {"soft reset", "\x1b[1m\x1b[!p", Texts::ReasonDisputed.arg("ESC [!p"), ""},
        {"unknown", "\x1b[5;5y\x1b[1;2;3;4W", Texts::ReasonUnfollowed.arg("ESC [1;2;3;4W"), ""},
        {"palette", "\x1b]4;1;rgb:ff/00/00\x07", Texts::ReasonPalette, ""},
        {"underline colour", "\x1b[58;5;1mx", Texts::ReasonAttribute, "\x1b[0m" + clear},
        {"sixel", "\x1bPq#0;2;0;0;0~\x1b\\", Texts::ReasonGraphics, clear},
        {"other charset", "\x1b(Aab", Texts::ReasonCharset, "\x1b(B" + clear},
        {"repeat after a move", "a\r\x1b[3b", Texts::ReasonDisputed.arg("ESC [3b"), clear},
        {"saved at a wrap",
         QByteArray(80, 'x') + "\x1b"
                               "7",
         Texts::ReasonSavedAtWrap,
         "\r\x1b"
         "7"},
        {"resize", "text\x1b[8;30;100t", Texts::ReasonResize, clear},
        // libvterm would write the parameters past its 16 over its own memory.
        {"more parameters than libvterm keeps", "\x1b[;;;;;;;;;;;;;;;;H",
         Texts::ReasonDisputed.arg("ESC [;;;;;;;;;;;;;;;;H"), ""},
        // Random streams in tmux found these two: some terminals keep a wrap pending
        // through RI, and go back up a line that wrapped on BS at a line's start.
        {"reverse index at a pending wrap", QByteArray(80, 'x') + "\x1bM",
         Texts::ReasonDisputed.arg("ESC M at a pending wrap"), "\x1b[H"},
        {"backspace at a line's start", "ab\r\n\b",
         Texts::ReasonDisputed.arg("BS at a line's start"), clear},
        {"reset on the alternate screen",
         "\x1b[?1049h\x1b"
         "c",
         Texts::ReasonDisputed.arg("ESC c"), ""},
    };
    for (const Unrepaintable& c : cases) {
        SCOPED_TRACE(c.name);
        ScreenModel model;
        model.Feed(c.stream);
        EXPECT_FALSE(model.CanRepaint());
        EXPECT_EQ(model.CannotRepaintReason(), Texts::CannotRepaint.arg(c.reason));
        model.Feed(c.recovery);
        EXPECT_EQ(model.CanRepaint(), !c.recovery.isEmpty()) << Reason(model);
        // A reset on the primary screen is known whatever came before.
        model.Feed(
            "\x1b[?1049l\x1b"
            "c");
        EXPECT_TRUE(model.CanRepaint()) << Reason(model);
    }
}

TEST(ScreenModel, FollowsWhatTerminalsAgreeOn)
{
    // A character cut between two frames, queries, titles, key modes, unknown modes,
    // a resize before anything is drawn, and a soft reset right after a reset (what
    // `reset` sends).
    ScreenModel model;
    for (const QByteArray& frame : {QByteArray("\xe6\x97"), QByteArray("\xa5 \x1b[6n\x1b[>c"),
                                    QByteArray("\x1b]0;title\x07\x1b]11;?\x07\x1b[>4;2m"),
                                    QByteArray("\x1b[?2004h\x1b[?9999h\x1b[0%m\x1bPzz\x1b\\"),
                                    QByteArray("\x1b[1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;1;31mx"),
                                    QByteArray("\x1b"
                                               "c\x1b[!p\x1b[?3;4l\x1b[4l\x1b>")}) {
        model.Feed(frame);
        EXPECT_TRUE(model.CanRepaint()) << Reason(model);
    }
    std::vector<std::pair<int, int>> sizes;
    model.OnResize = [&](int cols, int rows) { sizes.emplace_back(cols, rows); };
    model.Feed("\x1b[8;30;100t\x1b[8;;120t\x1b[8;5000;5000t");
    EXPECT_TRUE(model.CanRepaint()) << Reason(model);
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{{100, 30}, {120, 30}, {1000, 1000}}));
    EXPECT_EQ(model.Cols(), 1000);
    model.Reset(0, 20000);
    EXPECT_EQ(model.Cols(), ScreenModel::kMinCols);
    EXPECT_EQ(model.Rows(), ScreenModel::kMaxRows);
}

TEST(ScreenModel, KeepsTheRepaintUntilTheNextFrame)
{
    ScreenModel model(20, 4);
    model.Feed("\x1b[1;31mred\x1b[0m and plain");
    const QByteArray& first = model.Repaint();
    const QByteArray copy = first;
    EXPECT_EQ(&model.Repaint(), &first);
    EXPECT_TRUE(
        copy.startsWith("\x1b"
                        "c"));
    EXPECT_TRUE(copy.contains("\x1b[1;31mred\x1b[m and plain")) << copy.toStdString();
    model.Feed("!");
    EXPECT_NE(model.Repaint(), copy);
    EXPECT_TRUE(model.Repaint().contains("plain!"));
}

// Feeds each stream whole, then one byte at a time, then in pieces of three: the repaint
// must not depend on where frames end.
TEST(ScreenModel, RepaintDoesNotDependOnWhereFramesEnd)
{
    const std::vector<QByteArray> streams = {
        "\x1b[1;38;2;10;20;30mrgb\x1b[4:3m curly\x1b[m \xe6\x97\xa5\xe6\x9c\xac e\xcc\x81\r\n",
        "\x1b)0\x0elqk\x0f\x1b[5;10r\x1b[?6h\x1b[2;3Hx\x1b"
        "7\x1b[?1049hALT\x1b]2;t\x07\x1b[3",
        QByteArray(79, '-') + "\xe6\x97\xa5\x1b[2J\x1b[H\x1b[44m\x1b[K\x1b[m\x1b[10;1H\x1bH\x1b[",
    };
    for (const QByteArray& stream : streams) {
        ScreenModel whole(40, 12);
        whole.Feed(stream);
        ASSERT_TRUE(whole.CanRepaint()) << Reason(whole);
        for (int piece : {1, 3}) {
            ScreenModel cut(40, 12);
            for (qsizetype i = 0; i < stream.size(); i += piece) {
                cut.Feed(stream.mid(i, piece));
            }
            EXPECT_EQ(cut.Repaint(), whole.Repaint()) << "pieces of " << piece;
        }
    }
}

// What the scanner reports, written out: each sequence with its own leader, parameters
// (":" before a subparameter, "-" for a missing one) and intermediates.
struct ScanLog : EscapeScanner::Events
{
    std::string log;
    void OnText(const char* bytes, qsizetype size) override { log.append(bytes, size); }
    void OnControl(uchar byte) override { log += "<" + std::to_string(byte) + ">"; }
    void OnEscape(const EscapeSequence& e) override
    {
        log += "<esc " + std::string(1, e.finalByte) + ">";
    }
    void OnCsi(const CsiSequence& csi) override
    {
        log += "<csi ";
        if (csi.leader != 0) {
            log += csi.leader;
        }
        for (int i = 0; i < csi.count; ++i) {
            const int value = csi.parameters[i].value;
            log += value == CsiSequence::kMissing ? "-" : std::to_string(value);
            if (i + 1 < csi.count) {
                log += csi.parameters[i].followedBySub ? ':' : ';';
            }
        }
        log += csi.intermediates.toByteArray().toStdString() + csi.finalByte + ">";
    }
    void OnString(char, QByteArrayView, bool) override { log += "<string>"; }
    void OnMalformed(EscapeScanner::Malformed, QByteArrayView) override { log += "<malformed>"; }
};

// Each sequence is reported with its own parameters, never those of one before it, and
// a sequence of the longest length kept is whole while one byte more is malformed,
// wherever the frames end.
TEST(ScreenModel, ScannerReportsEachSequenceAloneWhereverFramesEnd)
{
    const qsizetype longest = EscapeScanner::kMaxSequence - 4;  // ESC [, the 7, the final
    const std::vector<std::pair<QByteArray, std::string>> cases = {
        {"\x1b[?1;2;3h\x1b[4m\x1b[m", "<csi ?1;2;3h><csi 4m><csi m>"},
        {"\x1b[38:2::1:2:3;1m\x1b[5m", "<csi 38:2:-:1:2:3;1m><csi 5m>"},
        {"\x1b[1;2 q\x1b[5\x08"
         "A",
         "<csi 1;2 q><8><csi 5A>"},
        {"\x1b[" + QByteArray(longest, '0') + "7mx", "<csi 7m>x"},
        {"\x1b[" + QByteArray(longest + 1, '0') + "7mx", "<malformed>x"},
    };
    for (const auto& [stream, expected] : cases) {
        for (qsizetype piece : {stream.size(), qsizetype{1}, qsizetype{3}, qsizetype{255}}) {
            ScanLog log;
            EscapeScanner scanner;
            for (qsizetype i = 0; i < stream.size(); i += piece) {
                scanner.Feed(QByteArrayView(stream).sliced(i, qMin(piece, stream.size() - i)), log);
            }
            EXPECT_EQ(log.log, expected) << "pieces of " << piece;
        }
    }
}

// Applies the SGR sequences in bytes to the pen, as a terminal reads them; false when
// one is refused or something else is there.
bool ApplyWritten(Pen& pen, const QByteArray& bytes, int& sequences)
{
    struct Apply : EscapeScanner::Events
    {
        Pen* pen = nullptr;
        int count = 0;
        bool ok = true;
        void OnText(const char*, qsizetype) override { ok = false; }
        void OnControl(uchar) override { ok = false; }
        void OnEscape(const EscapeSequence&) override { ok = false; }
        void OnCsi(const CsiSequence& csi) override
        {
            ++count;
            ok = ok && csi.finalByte == 'm' && ApplySgr(*pen, csi);
        }
        void OnString(char, QByteArrayView, bool) override { ok = false; }
        void OnMalformed(EscapeScanner::Malformed, QByteArrayView) override { ok = false; }
    } apply;
    apply.pen = &pen;
    EscapeScanner scanner;
    scanner.Feed(bytes, apply);
    sequences = apply.count;
    return apply.ok && scanner.Pending().isEmpty();
}

// The SGR written to go from one pen to another, read back, gives the other pen, for
// pens drawn at random from every attribute and colour kind.
TEST(ScreenModel, SgrChangesReadBackAsThePenWanted)
{
    std::mt19937 random(21089);
    auto color = [&] {
        const int kind = static_cast<int>(random() % 4);
        if (kind == Color::Default) {
            return Color{};
        }
        if (kind == Color::Rgb) {
            return Color{Color::Rgb, static_cast<uint8_t>(random()), static_cast<uint8_t>(random()),
                         static_cast<uint8_t>(random())};
        }
        return Color::Palette(static_cast<Color::Kind>(kind),
                              static_cast<int>(random() % (kind == Color::Basic ? 16 : 256)));
    };
    auto pen = [&] {
        Pen p;
        p.flags = static_cast<uint16_t>(random() & 0xFF);
        p.SetUnderline(static_cast<int>(random() % 6));
        p.foreground = color();
        p.background = color();
        return p;
    };
    for (int i = 0; i < 2000; ++i) {
        const Pen from = pen();
        const Pen to = pen();
        QByteArray bytes;
        AppendSgrChange(bytes, from, to);
        Pen read = from;
        int sequences = 0;
        ASSERT_TRUE(ApplyWritten(read, bytes, sequences)) << bytes.toStdString();
        ASSERT_EQ(read, to) << bytes.toStdString();
        ASSERT_EQ(sequences, from == to ? 0 : 1);
    }
}

}  // namespace
