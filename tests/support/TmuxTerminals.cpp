#include "support/TmuxTerminals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <vector>

const char* const TmuxTerminals::kModesFormat =
    "cursor #{cursor_x},#{cursor_y} visible #{cursor_flag} alternate #{alternate_on} "
    "saved #{alternate_saved_x},#{alternate_saved_y} keys #{keypad_cursor_flag} "
    "keypad #{keypad_flag} wrap #{wrap_flag} origin #{origin_flag} insert #{insert_flag} "
    "region #{scroll_region_upper}-#{scroll_region_lower} mouse #{mouse_any_flag}"
    "#{mouse_button_flag}#{mouse_all_flag}#{mouse_standard_flag}#{mouse_sgr_flag}"
    "#{mouse_utf8_flag}";

namespace {

int g_servers = 0;

// The attributes a cell of tmux's capture is drawn with, one text per kind.
struct CellStyle
{
    QByteArray bold, dim, italic, underline, blink, reverse, conceal, strike, overline;
    QByteArray foreground, background, underlineColour;
    bool lineDrawing = false;
    bool operator==(const CellStyle&) const = default;
    QByteArray Text() const
    {
        return bold + '|' + dim + '|' + italic + '|' + underline + '|' + blink + '|' + reverse +
               '|' + conceal + '|' + strike + '|' + overline + '|' + foreground + '|' + background +
               '|' + underlineColour + '|' + (lineDrawing ? "acs" : "");
    }
};

// Applies the parameters of one SGR sequence as tmux writes them in a capture.
void ApplyCaptureSgr(const QByteArray& parameters, CellStyle& style)
{
    const QList<QByteArray> codes = parameters.split(';');
    for (qsizetype i = 0; i < codes.size(); ++i) {
        const QByteArray& code = codes[i];
        const int n = code.split(':').front().toInt();
        // A colour takes the parameters after it: 5;n or 2;r;g;b (or the colon form).
        auto colour = [&]() {
            QByteArray value = code;
            if (!code.contains(':') && i + 1 < codes.size()) {
                const qsizetype count = codes[i + 1] == "5" ? 2 : 4;
                for (qsizetype k = 1; k <= count && i + 1 < codes.size(); ++k) {
                    value += ':' + codes[++i];
                }
            }
            return value;
        };
        if (n == 0) {
            const bool lineDrawing = style.lineDrawing;
            style = CellStyle{};
            style.lineDrawing = lineDrawing;  // SO and SI, not SGR, change it
        } else if (n == 1) {
            style.bold = "1";
        } else if (n == 2) {
            style.dim = "2";
        } else if (n == 22) {
            style.bold.clear();
            style.dim.clear();
        } else if (n == 3 || n == 23) {
            style.italic = n == 3 ? "3" : "";
        } else if (n == 4 || n == 21) {
            style.underline = code == "4:0" ? "" : code;
        } else if (n == 24) {
            style.underline.clear();
        } else if (n == 5 || n == 6 || n == 25) {
            style.blink = n == 25 ? "" : "5";
        } else if (n == 7 || n == 27) {
            style.reverse = n == 7 ? "7" : "";
        } else if (n == 8 || n == 28) {
            style.conceal = n == 8 ? "8" : "";
        } else if (n == 9 || n == 29) {
            style.strike = n == 9 ? "9" : "";
        } else if (n == 53 || n == 55) {
            style.overline = n == 53 ? "53" : "";
        } else if (n == 38) {
            style.foreground = colour();
        } else if (n == 48) {
            style.background = colour();
        } else if (n == 58) {
            style.underlineColour = colour();
        } else if (n == 39 || n == 49 || n == 59) {
            (n == 39   ? style.foreground
             : n == 49 ? style.background
                       : style.underlineColour)
                .clear();
        } else if ((n >= 30 && n <= 37) || (n >= 90 && n <= 97)) {
            style.foreground = code;
        } else if ((n >= 40 && n <= 47) || (n >= 100 && n <= 107)) {
            style.background = code;
        } else {
            style.underline += "?" + code;  // a code this reader does not know: keep it
        }
    }
}

// tmux prints each line's used cells, with SGR codes where the attributes change from the
// cell printed before, across lines; and a cell becomes used by being written, even with
// a blank (inserting or deleting characters writes a line's end). What counts is what
// shows: this rewrites a capture cell by cell, each line starting afresh, without the
// blanks at a line's end.
QByteArray CanonicalCapture(const QByteArray& capture)
{
    QByteArray out;
    CellStyle style;
    for (const QByteArray& line : capture.split('\n')) {
        struct Cell
        {
            CellStyle style;
            QByteArray text;
        };
        std::vector<Cell> cells;
        for (qsizetype i = 0; i < line.size();) {
            const char c = line[i];
            if (c == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
                qsizetype end = i + 2;
                while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7E)) {
                    ++end;
                }
                if (end < line.size() && line[end] == 'm') {
                    ApplyCaptureSgr(line.mid(i + 2, end - i - 2), style);
                }
                i = end + 1;
            } else if (c == '\x0e' || c == '\x0f') {
                style.lineDrawing = c == '\x0e';
                ++i;
            } else {
                // One character: a lead byte and its continuation bytes.
                qsizetype end = i + 1;
                while (end < line.size() && (static_cast<uchar>(line[end]) & 0xC0) == 0x80) {
                    ++end;
                }
                cells.push_back({style, line.mid(i, end - i)});
                i = end;
            }
        }
        // Nor those whose only attribute is a background: tmux leaves out the cells an
        // erasure cleared (with the pen's background) but prints those a move carried,
        // which look the same.
        auto backgroundOnly = [](CellStyle candidate) {
            candidate.background.clear();
            candidate.lineDrawing = false;
            return candidate == CellStyle{};
        };
        while (!cells.empty() && cells.back().text == " " && backgroundOnly(cells.back().style)) {
            cells.pop_back();
        }
        CellStyle previous;
        for (const Cell& cell : cells) {
            if (!(cell.style == previous)) {
                out += '{' + cell.style.Text() + '}';
                previous = cell.style;
            }
            out += cell.text;
        }
        out += '\n';
    }
    return out;
}

}  // namespace

TmuxTerminals::TmuxTerminals()
    : socket_(QStringLiteral("ombrix-screen-%1-%2").arg(::getpid()).arg(g_servers++))
{
    // No status line: a pane is as tall as its window.
    QFile config(dir_.filePath(QStringLiteral("tmux.conf")));
    if (config.open(QIODevice::WriteOnly)) {
        config.write("set -g status off\nset -s exit-empty off\n");
    }
}

TmuxTerminals::~TmuxTerminals()
{
    for (const auto& [pane, fd] : fifos_) {
        ::close(fd);
    }
    if (serverPid_ > 0) {
        Run({QStringLiteral("kill-server")});
        ::kill(serverPid_, SIGKILL);
    }
}

bool TmuxTerminals::Installed()
{
    return QFileInfo::exists(QStringLiteral("/usr/bin/tmux"));
}

QByteArray TmuxTerminals::Run(const QStringList& arguments, int* status)
{
    QProcess tmux;
    tmux.start(QStringLiteral("tmux"),
               QStringList{QStringLiteral("-L"), socket_, QStringLiteral("-f"),
                           dir_.filePath(QStringLiteral("tmux.conf"))} +
                   arguments);
    tmux.waitForFinished(10000);
    if (status != nullptr) {
        *status = tmux.exitStatus() == QProcess::NormalExit ? tmux.exitCode() : -1;
    }
    return tmux.readAllStandardOutput();
}

int TmuxTerminals::Open(int cols, int rows)
{
    const int pane = nextPane_++;
    const QString fifo = dir_.filePath(QStringLiteral("pane%1").arg(pane));
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0) {
        return -1;
    }
    // Read-write, so that opening does not wait for cat and writes never meet a FIFO
    // without a reader.
    const int fd = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    fifos_[pane] = fd;
    return StartPane(pane, cols, rows, QStringLiteral("stty raw -echo; exec cat '%1'").arg(fifo));
}

int TmuxTerminals::OpenRunning(int cols, int rows, const QString& command)
{
    return StartPane(nextPane_++, cols, rows, command);
}

int TmuxTerminals::StartPane(int pane, int cols, int rows, const QString& command)
{
    int status = 0;
    Run({QStringLiteral("new-session"), QStringLiteral("-d"), QStringLiteral("-s"), Session(pane),
         QStringLiteral("-x"), QString::number(cols), QStringLiteral("-y"), QString::number(rows),
         command},
        &status);
    if (status != 0) {
        return -1;
    }
    if (serverPid_ == 0) {
        serverPid_ =
            Run({QStringLiteral("display-message"), QStringLiteral("-p"), QStringLiteral("#{pid}")})
                .trimmed()
                .toInt();
    }
    return pane;
}

void TmuxTerminals::Close(int pane)
{
    Run({QStringLiteral("kill-session"), QStringLiteral("-t"), Session(pane)});
    const auto it = fifos_.find(pane);
    if (it != fifos_.end()) {
        ::close(it->second);
        fifos_.erase(it);
    }
}

void TmuxTerminals::WriteUnfinished(int pane, QByteArrayView bytes)
{
    const int fd = fifos_.at(pane);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        done += n;
    }
}

bool TmuxTerminals::Write(int pane, QByteArrayView bytes)
{
    WriteUnfinished(pane, bytes);
    const QByteArray title = "ombrix-sync-" + QByteArray::number(++syncs_);
    WriteUnfinished(pane, QByteArray("\x1b]2;" + title + '\a'));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000) {
        if (Run({QStringLiteral("display-message"), QStringLiteral("-p"), QStringLiteral("-t"),
                 Session(pane), QStringLiteral("#{pane_title}")})
                .trimmed() == title) {
            return true;
        }
        QThread::msleep(5);
    }
    return false;
}

TmuxTerminals::State TmuxTerminals::Read(int pane)
{
    State state;
    const QStringList capture{QStringLiteral("capture-pane"), QStringLiteral("-p"),
                              QStringLiteral("-e"),           QStringLiteral("-N"),
                              QStringLiteral("-t"),           Session(pane)};
    state.screen = CanonicalCapture(Run(capture));
    state.primary =
        CanonicalCapture(Run(capture + QStringList{QStringLiteral("-a"), QStringLiteral("-q")}));
    state.modes = Run({QStringLiteral("display-message"), QStringLiteral("-p"),
                       QStringLiteral("-t"), Session(pane), QString::fromLatin1(kModesFormat)})
                      .trimmed();
    return state;
}
