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

const char* const TmuxTerminals::kModesFormat =
    "cursor #{cursor_x},#{cursor_y} visible #{cursor_flag} alternate #{alternate_on} "
    "saved #{alternate_saved_x},#{alternate_saved_y} keys #{keypad_cursor_flag} "
    "keypad #{keypad_flag} wrap #{wrap_flag} origin #{origin_flag} insert #{insert_flag} "
    "region #{scroll_region_upper}-#{scroll_region_lower} mouse #{mouse_any_flag}"
    "#{mouse_button_flag}#{mouse_all_flag}#{mouse_standard_flag}#{mouse_sgr_flag}"
    "#{mouse_utf8_flag}";

namespace {

int g_servers = 0;

// Whether the SGR codes of tmux's capture leave every attribute at its default, given
// the state before: one flag per kind of attribute.
void TrackSgr(QByteArrayView codes, uint32_t& active)
{
    enum : uint32_t
    {
        Intensity = 1,
        Italic = 2,
        Underline = 4,
        Blink = 8,
        Reverse = 16,
        Conceal = 32,
        Strike = 64,
        Overline = 128,
        Foreground = 256,
        Background = 512,
        UnderlineColour = 1024,
    };
    for (const QByteArrayView code : QByteArray(codes.toByteArray()).split(';')) {
        const QByteArrayView main =
            code.first(code.contains(':') ? code.indexOf(':') : code.size());
        const int n = main.isEmpty() ? 0 : main.toInt();
        auto set = [&](uint32_t flag, bool on) { active = on ? active | flag : active & ~flag; };
        if (n == 0) {
            active = 0;
        } else if (n == 1 || n == 2 || n == 22) {
            set(Intensity, n != 22);
        } else if (n == 3 || n == 23) {
            set(Italic, n == 3);
        } else if (n == 4 || n == 21 || n == 24) {
            set(Underline, n != 24 && code != "4:0");
        } else if (n == 5 || n == 6 || n == 25) {
            set(Blink, n != 25);
        } else if (n == 7 || n == 27) {
            set(Reverse, n == 7);
        } else if (n == 8 || n == 28) {
            set(Conceal, n == 8);
        } else if (n == 9 || n == 29) {
            set(Strike, n == 9);
        } else if (n == 53 || n == 55) {
            set(Overline, n == 53);
        } else if ((n >= 30 && n <= 39) || (n >= 90 && n <= 97)) {
            set(Foreground, n != 39);
        } else if ((n >= 40 && n <= 49) || (n >= 100 && n <= 107)) {
            set(Background, n != 49);
        } else if (n == 58 || n == 59) {
            set(UnderlineColour, n == 58);
        }
        if (n == 38 || n == 48 || n == 58) {
            break;  // the rest of this sequence is the colour's values
        }
    }
}

// tmux prints the cells a line has used, and a cell becomes used by being written, even
// with a blank (inserting and deleting characters writes the line's end): what counts is
// what shows, so blanks at a line's end with every attribute at its default go.
QByteArray TrimDefaultBlanks(const QByteArray& capture)
{
    QList<QByteArray> lines = capture.split('\n');
    for (QByteArray& line : lines) {
        uint32_t active = 0;
        qsizetype keep = 0;  // the end of what shows
        for (qsizetype i = 0; i < line.size();) {
            if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
                qsizetype end = i + 2;
                while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7E)) {
                    ++end;
                }
                if (end < line.size() && line[end] == 'm') {
                    TrackSgr(QByteArrayView(line).sliced(i + 2, end - i - 2), active);
                }
                i = end + 1;
                keep = i;
                continue;
            }
            if (line[i] != ' ' || active != 0) {
                keep = i + 1;
            }
            ++i;
        }
        // Escape sequences after the last shown cell matter only if cells follow.
        line.truncate(keep);
    }
    return lines.join('\n');
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
    int status = 0;
    Run({QStringLiteral("new-session"), QStringLiteral("-d"), QStringLiteral("-s"), Session(pane),
         QStringLiteral("-x"), QString::number(cols), QStringLiteral("-y"), QString::number(rows),
         QStringLiteral("stty raw -echo; exec cat '%1'").arg(fifo)},
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
    state.screen = TrimDefaultBlanks(Run(capture));
    state.primary =
        TrimDefaultBlanks(Run(capture + QStringList{QStringLiteral("-a"), QStringLiteral("-q")}));
    state.modes = Run({QStringLiteral("display-message"), QStringLiteral("-p"),
                       QStringLiteral("-t"), Session(pane), QString::fromLatin1(kModesFormat)})
                      .trimmed();
    return state;
}
