// The main window as the user sees it: the controls at their pixel positions, the menu,
// the actions, the tool bar, the open dialog and the status panels.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSizeGrip>
#include <QSlider>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

#include "app/AnchorLayout.h"
#include "app/RoundedBox.h"
#include "app/UnitOmbrix.h"
#include "common/Texts.h"
#include "platform/ErrorDisplay.h"

namespace {

// The client area the positions below are given for; the menu bar lies above it.
constexpr QSize kClientSize(632, 300);
constexpr QPoint kWindowPosition(192, 112);
constexpr int kStatusBarHeight = 19;
constexpr int kPanelWidth = 200;

constexpr unsigned kFixed = AnchorLayout::Left | AnchorLayout::Top;
constexpr unsigned kTopWide = AnchorLayout::Left | AnchorLayout::Top | AnchorLayout::Right;
constexpr unsigned kTopRight = AnchorLayout::Top | AnchorLayout::Right;
constexpr unsigned kBottomWide = AnchorLayout::Left | AnchorLayout::Bottom | AnchorLayout::Right;

// The window's face: asked for by its own name; where that face is missing, the
// metric-compatible gothic stands in, so that the texts fit the boxes drawn for it.
QFont WindowFont(int pixelSize)
{
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic")});
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

// Hint texts are kept with the controls but never shown: this window has no tooltips.
class NoToolTips : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ToolTip) {
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

QPlainTextEdit* CreateMemo(QWidget* parent, const QStringList& lines, QColor background)
{
    auto* memo = new QPlainTextEdit(parent);
    memo->setPlainText(lines.join(QLatin1Char('\n')));
    memo->setReadOnly(true);
    // Read-only, but the text can still be selected and copied, with mouse or keys.
    memo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    memo->setFrameShape(QFrame::NoFrame);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    memo->document()->setDocumentMargin(0);
    memo->setFocusPolicy(Qt::StrongFocus);
    // Tab moves on to the next control; a read-only text has no use for tab characters.
    memo->setTabChangesFocus(true);
    QPalette palette = memo->palette();
    palette.setColor(QPalette::Base, background);
    memo->setPalette(palette);
    return memo;
}

QLabel* CreateLabel(QWidget* parent, const QString& caption)
{
    auto* label = new QLabel(caption, parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// The designed box of a memo was drawn for lines 12 pixels apart. A stand-in face may set
// its lines wider apart; then the memo grows by what its lines need, downwards or (for
// one that sits on the status bar) upwards, so that no line is cut off.
QRect FitMemo(const QPlainTextEdit* memo, QRect designRect, bool growUp)
{
    const int lines = memo->document()->blockCount();
    const int needed = lines * memo->fontMetrics().lineSpacing();
    if (needed <= designRect.height()) {
        return designRect;
    }
    QRect fitted = designRect;
    if (growUp) {
        fitted.setTop(designRect.bottom() + 1 - needed);
    } else {
        fitted.setHeight(needed);
    }
    return fitted;
}

// The big mark keeps its designed box. It is asked for at 96 pixels; a stand-in face whose
// glyphs run wider comes down in size until the mark fits, rather than being cut off or
// running into the white box beside it.
QFont FitMarkFont(const QString& text, QSize box)
{
    QFont font = WindowFont(96);
    for (int size = 96; size > 8; --size) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        if (metrics.horizontalAdvance(text) <= box.width() && metrics.height() <= box.height()) {
            break;
        }
    }
    return font;
}

// Turns a filter written as "description|patterns|description|patterns", patterns
// separated by ";", into the dialog's name filters. The descriptions stay as written (the
// dialog is told to hide the pattern part it needs at the end). "*.*" means every file,
// as the description says, and not only names with a dot.
QStringList NameFilters(const QString& filter)
{
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString trimmed = pattern.trimmed();
            patterns.append(trimmed == QLatin1String("*.*") ? QStringLiteral("*") : trimmed);
        }
        filters.append(parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')'));
    }
    return filters;
}

}  // namespace

void TFormOmbrix::CreateControls()
{
    Q_INIT_RESOURCE(resources);

    setWindowTitle(Texts::ApplicationTitle);
    setWindowIcon(QIcon(QStringLiteral(":/ombrix/ombrix.xpm")));
    setFont(WindowFont(12));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, windowPalette.color(QPalette::Button));
    setPalette(windowPalette);

    // Every control lives on one client widget at fixed pixel positions; the tool bar and
    // the status bar are among them, so the client area is exactly the designed 632x300.
    auto* client = new QWidget(this);
    setCentralWidget(client);
    auto* anchors = new AnchorLayout(client, kClientSize);

    createActions();
    createMenus();
    createToolBar(client, anchors);
    createSpeedControls(client, anchors);
    createInfoBox(client, anchors);
    createStatusPanels(client, anchors);

    setTabOrder(TrackBarPlaySpeed, Memo2);
    setTabOrder(Memo2, Memo3);
    auto* noToolTips = new NoToolTips(this);
    installEventFilter(noToolTips);
    for (QWidget* widget : findChildren<QWidget*>()) {
        widget->installEventFilter(noToolTips);
    }

    // Sized so that the area below the menu bar is the client size; the frame around
    // the window is the window manager's.
    resize(kClientSize.width(), kClientSize.height() + menuBar()->sizeHint().height());
    move(kWindowPosition);
}

void TFormOmbrix::createActions()
{
    ActionFileOpen =
        new QAction(QIcon(QStringLiteral(":/ombrix/folder-open.xpm")), Texts::ActionOpen, this);
    ActionFileOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    ActionFileOpen->setProperty("category", Texts::ActionCategoryFile);
    ActionFileOpen->setProperty("hint", Texts::ActionOpenHint);
    connect(ActionFileOpen, &QAction::triggered, this,
            [this] { ErrorDisplay::Guard([this] { ActionFileOpenExecute(); }); });
    // On the window itself as well, so that Ctrl+O works wherever the focus is.
    addAction(ActionFileOpen);

    ActionFileExit = new QAction(Texts::ActionExit, this);
    ActionFileExit->setProperty("category", Texts::ActionCategoryFile);
    ActionFileExit->setProperty("hint", Texts::ActionExitHint);
    connect(ActionFileExit, &QAction::triggered, this, [this] { close(); });
}

void TFormOmbrix::createMenus()
{
    MainMenuFile = menuBar()->addMenu(Texts::MenuFile);
    MainMenuFile->addAction(ActionFileOpen);
    MainMenuFile->addSeparator();
    MainMenuFile->addAction(ActionFileExit);
}

void TFormOmbrix::createToolBar(QWidget* client, AnchorLayout* anchors)
{
    ToolBar = new QToolBar(client);
    ToolBar->setMovable(false);
    ToolBar->setFloatable(false);
    ToolBar->setIconSize(QSize(16, 16));
    ToolBar->setFocusPolicy(Qt::NoFocus);
    anchors->Place(ToolBar, QRect(0, 0, 632, 25), kTopWide);
    // Placed by hand rather than through the tool bar's layout, whose margins would move
    // the button off the bar's corner.
    ToolButtonOpen = new QToolButton(ToolBar);
    ToolButtonOpen->setDefaultAction(ActionFileOpen);
    ToolButtonOpen->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolButtonOpen->setAutoRaise(true);
    ToolButtonOpen->setFocusPolicy(Qt::NoFocus);
    ToolButtonOpen->setGeometry(0, 0, 23, 22);
}

void TFormOmbrix::createSpeedControls(QWidget* client, AnchorLayout* anchors)
{
    TrackBarPlaySpeed = new QSlider(Qt::Horizontal, client);
    TrackBarPlaySpeed->setRange(1, 100);
    TrackBarPlaySpeed->setValue(1);
    TrackBarPlaySpeed->setPageStep(5);
    TrackBarPlaySpeed->setSingleStep(1);
    TrackBarPlaySpeed->setTickPosition(QSlider::TicksAbove);
    TrackBarPlaySpeed->setTickInterval(1);
    TrackBarPlaySpeed->setFocusPolicy(Qt::StrongFocus);
    TrackBarPlaySpeed->setProperty("hint", Texts::TrackBarHint);
    anchors->Place(TrackBarPlaySpeed, QRect(0, 25, 593, 33), kTopWide);

    Label1 = CreateLabel(client, Texts::SpeedCaption);
    anchors->Place(Label1, QRect(599, 28, 26, 12), kTopRight);
    LabelPlaySpeed = CreateLabel(client, Texts::PlaySpeedStart);
    anchors->Place(LabelPlaySpeed, QRect(600, 40, 25, 12), kTopRight);
}

void TFormOmbrix::createInfoBox(QWidget* client, AnchorLayout* anchors)
{
    // The big mark, the white box and the usage text inside it make one picture; the box
    // is created first so that the text lies above it.
    Shape1 = new RoundedBox(client);
    anchors->Place(Shape1, QRect(136, 64, 481, 161), kFixed);
    const QRect markRect(16, 104, 112, 97);
    Label2 = CreateLabel(client, Texts::BigMark);
    Label2->setFont(FitMarkFont(Texts::BigMark, markRect.size()));
    Label2->setAlignment(Qt::AlignCenter);
    anchors->Place(Label2, markRect, kFixed);
    Memo2 = CreateMemo(client, Texts::UsageLines, QApplication::palette().color(QPalette::Base));
    anchors->Place(Memo2, FitMemo(Memo2, QRect(160, 80, 433, 137), false), kFixed);
    Memo3 = CreateMemo(client, Texts::NoticeLines, palette().color(QPalette::Button));
    anchors->Place(Memo3, FitMemo(Memo3, QRect(8, 232, 617, 49), true), kFixed);
}

void TFormOmbrix::createStatusPanels(QWidget* client, AnchorLayout* anchors)
{
    // A plain child rather than the main window's own status bar: the main window would
    // write action status tips over the panels, and the bar stays in panel mode.
    StatusBar = new QStatusBar(client);
    StatusBar->setSizeGripEnabled(true);
    StatusBar->setFocusPolicy(Qt::NoFocus);
    anchors->Place(StatusBar,
                   QRect(0, kClientSize.height() - kStatusBarHeight, 632, kStatusBarHeight),
                   kBottomWide);
    auto* panelAnchors = new AnchorLayout(StatusBar, QSize(632, kStatusBarHeight));
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(StatusBar);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setIndent(2);
        panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        const bool last = i == 2;
        panelAnchors->Place(
            panel,
            QRect(i * kPanelWidth, 0, last ? 632 - 2 * kPanelWidth : kPanelWidth, kStatusBarHeight),
            last ? kTopWide : kFixed);
        statusPanels_[static_cast<size_t>(i)] = panel;
    }
    // The grip lies over the right end of the last panel, as on a classic status bar.
    if (auto* grip = StatusBar->findChild<QSizeGrip*>()) {
        grip->raise();
    }
}

void TFormOmbrix::ConfigureOpenDialog(QFileDialog& dialog)
{
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // One file that exists, in a folder that exists.
    dialog.setFileMode(QFileDialog::ExistingFile);
    // Qt's own dialog: only it shows hidden files on request and hides the patterns that
    // the descriptions already name.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setFilter(dialog.filter() | QDir::Hidden);
    const QStringList filters = NameFilters(Texts::OpenFilter);
    dialog.setNameFilters(filters);
    dialog.selectNameFilter(filters.value(0));
    dialog.setSizeGripEnabled(true);
}

void TFormOmbrix::ActionFileOpenExecute()
{
    QFileDialog dialog(this);
    ConfigureOpenDialog(dialog);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const QStringList files = dialog.selectedFiles();
    if (!files.isEmpty()) {
        ActionFileOpenAccept(files.first());
    }
}

void TFormOmbrix::ActionFileOpenAccept(const QString& fileName)
{
    RecordingPath = QFile::encodeName(fileName);
    // A failure shows in the file panel; nothing more to do here.
    OpenRecording();
}
