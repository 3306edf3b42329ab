#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <map>

// Real terminals for tests: panes of a private tmux server, each showing exactly the
// bytes written to it (the pane runs cat of a FIFO on a raw terminal), and read back
// with what tmux holds: every cell with its attributes, the cursor, the modes. The
// server is stopped by pid when the object goes.
class TmuxTerminals
{
public:
    TmuxTerminals();
    ~TmuxTerminals();
    TmuxTerminals(const TmuxTerminals&) = delete;
    TmuxTerminals& operator=(const TmuxTerminals&) = delete;

    static bool Installed();

    // Opens a pane of this size; returns its number, or -1 when tmux failed.
    int Open(int cols, int rows);
    // Opens a pane of this size running a shell command (a telnet client, say) instead.
    int OpenRunning(int cols, int rows, const QString& command);
    void Close(int pane);

    // Writes bytes to the pane and waits until tmux has read them all, by a title it
    // sets after them; false on timeout. The bytes must not end inside a sequence or a
    // character, which the title's escape sequence would cut.
    bool Write(int pane, QByteArrayView bytes);
    // Writes bytes without waiting: the unfinished end of a stream.
    void WriteUnfinished(int pane, QByteArrayView bytes);

    // What a pane shows: its screen, the primary screen kept behind the alternate one,
    // and the cursor and modes, each as tmux prints them.
    struct State
    {
        QByteArray screen;
        QByteArray primary;
        QByteArray modes;
        bool operator==(const State&) const = default;
    };
    State Read(int pane);
    // The format of State::modes.
    static const char* const kModesFormat;

private:
    QByteArray Run(const QStringList& arguments, int* status = nullptr);
    int StartPane(int pane, int cols, int rows, const QString& command);
    QString Session(int pane) const { return QStringLiteral("p%1").arg(pane); }

    QTemporaryDir dir_;
    QString socket_;
    int serverPid_ = 0;
    int nextPane_ = 0;
    int syncs_ = 0;
    std::map<int, int> fifos_;  // pane -> descriptor open on its FIFO
};
