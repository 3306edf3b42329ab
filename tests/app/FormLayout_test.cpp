// The main window as built: positions and anchoring, texts, the menu and actions, the
// open dialog, and what accepting a file in it does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHelpEvent>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>
#include <functional>
#include <memory>

#include "app/UnitOmbrix.h"
#include "common/Texts.h"
#include "support/Ttyrec.h"

namespace {

std::unique_ptr<TFormOmbrix> MakeForm()
{
    static int serial = 0;
    FormOptions options{
        .arguments = {},
        .port = 0,
        .headless = true,
        .instanceName = QStringLiteral("FormLayoutTest-%1-%2").arg(::getpid()).arg(++serial),
        .idleLimit = std::nullopt};
    return std::make_unique<TFormOmbrix>(options);
}

// Shows the window and lets its layout settle, so the client area has its real size.
void ShowSettled(TFormOmbrix& form)
{
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QApplication::processEvents();
}

bool WaitFor(const std::function<bool()>& condition, int milliseconds = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

// Runs `trigger`, which should bring up the open dialog modally; the dialog is handed to
// `inspect` and then cancelled. Returns whether a dialog came up.
bool WithOpenDialog(const std::function<void()>& trigger,
                    const std::function<void(QFileDialog&)>& inspect = {})
{
    bool seen = false;
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        poll.stop();
        seen = true;
        if (inspect) {
            inspect(*dialog);
        }
        dialog->reject();
    });
    poll.start();
    trigger();
    poll.stop();
    return seen;
}

struct Placed
{
    const char* name;
    QWidget* widget;
    QRect start;
    // Where it must be after the client grows by 100 x 50.
    QRect grown;
};

std::vector<Placed> Controls(TFormOmbrix& form)
{
    const QRect memo2 = form.Memo2->geometry();
    const QRect memo3 = form.Memo3->geometry();
    return {
        {"ToolBar", form.ToolBar, {0, 0, 632, 25}, {0, 0, 732, 25}},
        {"TrackBarPlaySpeed", form.TrackBarPlaySpeed, {0, 25, 593, 33}, {0, 25, 693, 33}},
        {"Label1", form.Label1, {599, 28, 26, 12}, {699, 28, 26, 12}},
        {"LabelPlaySpeed", form.LabelPlaySpeed, {600, 40, 25, 12}, {700, 40, 25, 12}},
        {"Shape1", form.Shape1, {136, 64, 481, 161}, {136, 64, 481, 161}},
        {"Label2", form.Label2, {16, 104, 112, 97}, {16, 104, 112, 97}},
        {"Memo2", form.Memo2, memo2, memo2},
        {"Memo3", form.Memo3, memo3, memo3},
        {"StatusBar", form.StatusBar, {0, 281, 632, 19}, {0, 331, 732, 19}},
    };
}

}  // namespace

TEST(FormLayout, WindowHasItsTitlePositionClientAreaFontAndIcon)
{
    auto form = MakeForm();
    ShowSettled(*form);
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Ombrix"));
    EXPECT_EQ(form->pos(), QPoint(192, 112));
    EXPECT_EQ(form->centralWidget()->geometry().size(), QSize(632, 300));
    EXPECT_EQ(form->centralWidget()->y(), form->menuBar()->height());
    EXPECT_EQ(form->font().families().value(0), QStringLiteral("ＭＳ Ｐゴシック"));
    EXPECT_EQ(form->font().pixelSize(), 12);
    EXPECT_EQ(form->Memo2->font().pixelSize(), 12);
    EXPECT_EQ(form->palette().color(QPalette::Window), form->palette().color(QPalette::Button));
    EXPECT_TRUE(form->windowIcon().availableSizes().contains(QSize(32, 32)));
    EXPECT_FALSE(form->ToolButtonOpen->icon().isNull());
    for (const QScrollBar* bar : form->findChildren<QScrollBar*>()) {
        EXPECT_FALSE(bar->isVisible()) << "no scroll bars, not even " << bar->orientation();
    }
}

TEST(FormLayout, ControlsSitAtTheirPositionsAndFollowTheirEdgesOnResize)
{
    auto form = MakeForm();
    ShowSettled(*form);
    const std::vector<Placed> controls = Controls(*form);
    for (const Placed& control : controls) {
        EXPECT_EQ(control.widget->geometry(), control.start) << control.name;
    }
    // The memos keep the designed position; only a stand-in face with wider-spaced lines
    // may make them taller, never shorter.
    EXPECT_EQ(form->Memo2->geometry().topLeft(), QPoint(160, 80));
    EXPECT_EQ(form->Memo2->width(), 433);
    EXPECT_GE(form->Memo2->height(), 137);
    EXPECT_EQ(form->Memo3->x(), 8);
    EXPECT_EQ(form->Memo3->width(), 617);
    EXPECT_EQ(form->Memo3->geometry().bottom(), 280);
    EXPECT_EQ(form->ToolButtonOpen->geometry(), QRect(0, 0, 23, 22));

    form->resize(form->width() + 100, form->height() + 50);
    QApplication::processEvents();
    ASSERT_EQ(form->centralWidget()->size(), QSize(732, 350));
    for (const Placed& control : controls) {
        EXPECT_EQ(control.widget->geometry(), control.grown) << control.name;
    }
    EXPECT_EQ(form->ToolButtonOpen->geometry(), QRect(0, 0, 23, 22));
}

TEST(FormLayout, StatusPanelsEndAt200And400AndTheLastTakesTheRest)
{
    auto form = MakeForm();
    ShowSettled(*form);
    const auto panels =
        form->StatusBar->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(panels.size(), 3);
    EXPECT_EQ(panels[0]->geometry(), QRect(0, 0, 200, 19));
    EXPECT_EQ(panels[1]->geometry(), QRect(200, 0, 200, 19));
    EXPECT_EQ(panels[2]->geometry(), QRect(400, 0, 232, 19));
    form->resize(900, form->height());
    QApplication::processEvents();
    EXPECT_EQ(panels[1]->geometry().right(), 399);
    EXPECT_EQ(panels[2]->geometry(), QRect(400, 0, 500, 19));
    // Smaller than the controls: they are clipped, never scaled, and nothing turns negative.
    form->resize(300, 200);
    QApplication::processEvents();
    EXPECT_EQ(panels[0]->geometry(), QRect(0, 0, 200, 19));
    EXPECT_EQ(panels[2]->width(), 0);
    EXPECT_EQ(form->Shape1->geometry(), QRect(136, 64, 481, 161));

    // The setters write the panels, and the status bar never shows a message over them.
    form->SetStatusTime(QStringLiteral("3秒"));
    EXPECT_EQ(panels[2]->text(), QStringLiteral("3秒"));
    form->ActionFileOpen->showStatusText(form->MainMenuFile);
    EXPECT_TRUE(form->StatusBar->currentMessage().isEmpty());
    EXPECT_TRUE(panels[0]->isVisible());
}

TEST(FormLayout, MenuActionsAndLabelsCarryTheirTexts)
{
    auto form = MakeForm();
    EXPECT_EQ(form->menuBar()->actions().size(), 1);
    EXPECT_EQ(form->MainMenuFile->title(), QStringLiteral("ファイル(&F)"));
    const QList<QAction*> items = form->MainMenuFile->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0], form->ActionFileOpen);
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2], form->ActionFileExit);
    EXPECT_EQ(form->ActionFileOpen->text(), QStringLiteral("開く(&O)..."));
    EXPECT_EQ(form->ActionFileExit->text(), QStringLiteral("終了(&X)"));
    EXPECT_EQ(form->ActionFileOpen->shortcut(), QKeySequence(QStringLiteral("Ctrl+O")));
    EXPECT_TRUE(form->ActionFileExit->shortcut().isEmpty());
    EXPECT_TRUE(form->ActionFileOpen->isEnabled());
    EXPECT_TRUE(form->ActionFileExit->isEnabled());
    EXPECT_EQ(form->ActionFileOpen->property("hint").toString(),
              QStringLiteral("開く|既存のファイルを開く"));
    EXPECT_EQ(form->ActionFileExit->property("hint").toString(),
              QStringLiteral("終了|アプリケーションを終了する"));
    EXPECT_EQ(form->ToolButtonOpen->defaultAction(), form->ActionFileOpen);

    EXPECT_EQ(form->Label1->text(), QStringLiteral("速度"));
    EXPECT_EQ(form->LabelPlaySpeed->text(), QStringLiteral("1"));
    EXPECT_EQ(form->Label2->text(), QStringLiteral("@<"));
    // The mark is big and whole inside its box.
    const QFontMetrics mark(form->Label2->font());
    EXPECT_GE(form->Label2->font().pixelSize(), 48);
    EXPECT_LE(mark.horizontalAdvance(form->Label2->text()), form->Label2->width());
    EXPECT_LE(mark.height(), form->Label2->height());
}

TEST(FormLayout, UsageTextHasItsElevenLinesAndTheNoticeFour)
{
    auto form = MakeForm();
    const QStringList usage = form->Memo2->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(usage.size(), 11);
    EXPECT_EQ(usage[0],
              QStringLiteral("1) まず [ファイル]→[開く] から ttyrec されたファイルを選択する。"
                             "(ドロップしてもよし)"));
    EXPECT_EQ(usage[1], QStringLiteral("2) そして普段使っている telnet クライアントで、localhost "
                                       "のポート 21089 に接続。"));
    EXPECT_TRUE(usage[2].startsWith(QStringLiteral("3) ")));
    EXPECT_TRUE(usage[2].contains(QStringLiteral("telnet")));
    EXPECT_TRUE(usage[3].isEmpty());
    EXPECT_EQ(usage[4],
              QStringLiteral("※複数クライアントがなぜか接続できる。後からきたクライアントには"
                             "それまでの"));
    EXPECT_EQ(usage[5], QStringLiteral("　経過がしょっぱな一気に送られ、見苦しい^H^H^H^H"
                                       "あらすじがわかりやすい。"));
    EXPECT_EQ(usage[6], QStringLiteral("　最初から見直したい場合はファイルを開き直すべし。"));
    EXPECT_TRUE(usage[7].isEmpty());
    EXPECT_EQ(usage[8], QStringLiteral("※起動パラメータにttyrecファイルを指定できる。"
                                       "またOmbrixのあるディレクトリに"));
    EXPECT_EQ(usage[9], QStringLiteral("　OmbrixAutoというショートカットを作っておくと、"
                                       "Ombrix初期起動時についでに"));
    EXPECT_EQ(usage[10], QStringLiteral("　そいつも起動される。上手に設定すると拡張子ttyrecを"
                                        "関連付けして…とか可能。"));
    const QStringList notice = form->Memo3->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(notice.size(), 4);
    for (const QString& line : notice) {
        EXPECT_FALSE(line.isEmpty());
    }
    // Every line fits the memo's width, so none wraps onto a line of its own, and all
    // the lines fit its height.
    for (QPlainTextEdit* memo : {form->Memo2, form->Memo3}) {
        const QFontMetrics metrics(memo->font());
        for (const QString& line : memo->toPlainText().split(QLatin1Char('\n'))) {
            EXPECT_LE(metrics.horizontalAdvance(line), memo->width()) << line.toStdString();
        }
        EXPECT_LE(memo->document()->blockCount() * metrics.lineSpacing(), memo->height());
    }
}

TEST(FormLayout, MemosCannotBeEditedButTheirTextCanBeSelectedAndCopied)
{
    auto form = MakeForm();
    ShowSettled(*form);
    for (QPlainTextEdit* memo : {form->Memo2, form->Memo3}) {
        const QString before = memo->toPlainText();
        EXPECT_TRUE(memo->isReadOnly());
        EXPECT_FALSE(memo->textInteractionFlags() & Qt::TextEditable);
        memo->setFocus();
        QTest::keyClicks(memo, QStringLiteral("xyz"));
        QTest::keyClick(memo, Qt::Key_Backspace);
        EXPECT_EQ(memo->toPlainText(), before);
        QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(memo, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(QApplication::clipboard()->text(), before);
    }
}

TEST(FormLayout, NoControlShowsATooltip)
{
    auto form = MakeForm();
    ShowSettled(*form);
    for (QWidget* widget : std::initializer_list<QWidget*>{
             form->ToolButtonOpen, form->TrackBarPlaySpeed, form->ToolBar, form->Memo2}) {
        QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), widget->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(widget, &hover);
        QApplication::processEvents();
        EXPECT_FALSE(QToolTip::isVisible()) << widget->metaObject()->className();
        QToolTip::hideText();
    }
}

TEST(FormLayout, KeyboardFocusGoesThroughTheTrackBarAndBothMemos)
{
    auto form = MakeForm();
    ShowSettled(*form);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->TrackBarPlaySpeed->setFocus();
    ASSERT_TRUE(WaitFor([&] { return form->TrackBarPlaySpeed->hasFocus(); }));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form->Memo2);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form->Memo3);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), form->TrackBarPlaySpeed);
    EXPECT_EQ(form->ToolButtonOpen->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(form->StatusBar->focusPolicy(), Qt::NoFocus);
}

TEST(FormLayout, TrackBarRunsFrom1To100WithPagesOf5AndTicksAbove)
{
    auto form = MakeForm();
    QSlider* bar = form->TrackBarPlaySpeed;
    EXPECT_EQ(bar->orientation(), Qt::Horizontal);
    EXPECT_EQ(bar->minimum(), 1);
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 1);
    EXPECT_EQ(bar->tickPosition(), QSlider::TicksAbove);
    EXPECT_EQ(bar->tickInterval(), 1);
    // Keys move it by the line and page sizes, and the speed label follows.
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_PageUp);
    EXPECT_EQ(bar->value(), 6);
    QTest::keyClick(bar, Qt::Key_Right);
    EXPECT_EQ(bar->value(), 7);
    EXPECT_EQ(form->LabelPlaySpeed->text(), QStringLiteral("7"));
}

TEST(FormLayout, OpenDialogOffersTtyrecFilesFirstAndShowsHiddenOnes)
{
    QFileDialog dialog;
    TFormOmbrix::ConfigureOpenDialog(dialog);
    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_TRUE(dialog.testOption(QFileDialog::HideNameFilterDetails));
    EXPECT_FALSE(dialog.testOption(QFileDialog::ReadOnly));
    EXPECT_TRUE(dialog.isSizeGripEnabled());
    EXPECT_TRUE(dialog.filter() & QDir::Hidden);
    ASSERT_EQ(dialog.nameFilters().size(), 4);
    // What the user reads in the filter box is the descriptions as written.
    const auto* typeBox = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(typeBox, nullptr);
    ASSERT_EQ(typeBox->count(), 4);
    EXPECT_EQ(typeBox->itemText(0), QStringLiteral("ttyrecファイル (*.tty, *.ttyrec)"));
    EXPECT_EQ(typeBox->itemText(1),
              QStringLiteral("圧縮ttyrecファイル (*.ttyrec.gz, *.ttyrec.bz2, *.ttyrec.xz, "
                             "*.ttyrec.zst, *.ttyrec.lz4, *.ttyrec.lz)"));
    EXPECT_EQ(typeBox->itemText(2), QStringLiteral("asciicastファイル (*.cast)"));
    EXPECT_EQ(typeBox->itemText(3), QStringLiteral("すべてのファイル (*.*)"));
    EXPECT_EQ(typeBox->currentIndex(), 0);

    // The files the dialog lists in a folder, under each filter.
    QTemporaryDir folder;
    for (const char* name : {"a.tty", "b.ttyrec", ".hidden.ttyrec", "notes.txt", "README",
                             "c.ttyrec.gz", "d.ttyrec.zst", "e.tty.bz2", "f.cast"}) {
        ASSERT_TRUE(WriteFile(folder.filePath(QString::fromLatin1(name)), QByteArray("x")));
    }
    dialog.setDirectory(folder.path());
    dialog.show();
    auto* model = dialog.findChild<QFileSystemModel*>();
    ASSERT_NE(model, nullptr);
    auto listed = [&] {
        QStringList names;
        const QModelIndex root = model->index(folder.path());
        for (int row = 0; row < model->rowCount(root); ++row) {
            names.append(model->index(row, 0, root).data().toString());
        }
        names.sort();
        return names;
    };
    const std::vector<QStringList> expected = {
        {QStringLiteral(".hidden.ttyrec"), QStringLiteral("a.tty"), QStringLiteral("b.ttyrec")},
        {QStringLiteral("c.ttyrec.gz"), QStringLiteral("d.ttyrec.zst"),
         QStringLiteral("e.tty.bz2")},
        {QStringLiteral("f.cast")},
        {QStringLiteral(".hidden.ttyrec"), QStringLiteral("README"), QStringLiteral("a.tty"),
         QStringLiteral("b.ttyrec"), QStringLiteral("c.ttyrec.gz"), QStringLiteral("d.ttyrec.zst"),
         QStringLiteral("e.tty.bz2"), QStringLiteral("f.cast"), QStringLiteral("notes.txt")},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        dialog.selectNameFilter(dialog.nameFilters()[static_cast<qsizetype>(i)]);
        EXPECT_TRUE(WaitFor([&] { return listed() == expected[i]; }))
            << i << ": " << listed().join(u' ').toStdString();
    }
}

TEST(FormLayout, CtrlOTheMenuAndTheToolButtonOpenTheDialogAndCancelKeepsTheRecording)
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("playing.ttyrec"));
    ASSERT_TRUE(WriteFile(path, TtyrecBytes({{1, 0, "one"}, {2, 0, "two"}})));
    auto form = MakeForm();
    ShowSettled(*form);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    form->ActionFileOpenAccept(path);
    ASSERT_EQ(form->StatusText(1), QStringLiteral("playing.ttyrec"));

    // Ctrl+O from a control that is not the menu's.
    form->Memo3->setFocus();
    EXPECT_TRUE(
        WithOpenDialog([&] { QTest::keyClick(form->Memo3, Qt::Key_O, Qt::ControlModifier); }));
    EXPECT_TRUE(WithOpenDialog(
        [&] { form->ToolButtonOpen->click(); },
        [](QFileDialog& dialog) { EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile); }));
    EXPECT_TRUE(WithOpenDialog([&] { form->MainMenuFile->actions()[0]->trigger(); }));

    EXPECT_EQ(form->StatusText(1), QStringLiteral("playing.ttyrec"));
    EXPECT_NE(form->RecordingFile(), nullptr);
}

TEST(FormLayout, AcceptingAFileReplacesThePlayingRecording)
{
    QTemporaryDir folder;
    const QString first = folder.filePath(QStringLiteral("first.ttyrec"));
    const QString second = folder.filePath(QStringLiteral("second.tty"));
    ASSERT_TRUE(WriteFile(first, TtyrecBytes({{10, 0, "first frame"}, {11, 0, "more"}})));
    ASSERT_TRUE(WriteFile(second, TtyrecBytes({{20, 0, "second frame"}})));
    auto form = MakeForm();

    form->ActionFileOpenAccept(first);
    EXPECT_EQ(form->RecordingPath, QFile::encodeName(first));
    EXPECT_EQ(form->StatusText(1), QStringLiteral("first.ttyrec"));
    ASSERT_TRUE(form->FrameBuffer().has_value());
    EXPECT_EQ(*form->FrameBuffer(), QByteArray("first frame"));
    form->SetPlaySpeed(8);

    form->ActionFileOpenAccept(second);
    EXPECT_EQ(form->StatusText(1), QStringLiteral("second.tty"));
    ASSERT_TRUE(form->FrameBuffer().has_value());
    EXPECT_EQ(*form->FrameBuffer(), QByteArray("second frame"));
    EXPECT_EQ(form->PlaySpeed(), 1);
    EXPECT_NE(form->RecordingFile(), nullptr);

    // A file that went away between the dialog and the accept shows in the file panel.
    form->ActionFileOpenAccept(folder.filePath(QStringLiteral("gone.ttyrec")));
    EXPECT_EQ(form->StatusText(1), Texts::OpenFailed);
    EXPECT_EQ(form->RecordingFile(), nullptr);
}

TEST(FormLayout, FileExitClosesTheWindowWithoutAsking)
{
    auto form = MakeForm();
    ShowSettled(*form);
    bool asked = false;
    QTimer::singleShot(0, [&] { asked = QApplication::activeModalWidget() != nullptr; });
    form->ActionFileExit->trigger();
    QApplication::processEvents();
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(asked);
}
