#pragma once

#include <QByteArray>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

#include "platform/TTimer.h"
#include "playback/io.h"
#include "server/ScktComp.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QSlider;
class QStatusBar;
class QToolBar;
class QToolButton;
class QFileDialog;
class SharedMemory;
class TelnetKeyDecoder;
struct ViewerCatchUp;
class HandoffServer;

// How the program was started: what the command line says, with the options taken out.
struct FormOptions
{
    // The arguments left after the options, in order; each may name a recording.
    QStringList arguments;
    // The viewer port.
    int port = 21089;
    // No window: status changes and errors are printed instead.
    bool headless = false;
    // The name of the single-instance object; tests give their own.
    QString instanceName = QStringLiteral("OmbrixFileMapping");
};

// The one main window, which owns all of the player's state: the recording, the current
// frame, the viewer server and its viewers, the playback timer and the speed.
class TFormOmbrix : public QMainWindow
{
    Q_OBJECT

public:
    // Builds the controls, then claims the single instance: a first instance opens the
    // server and the recording named on the command line; a later one hands its
    // recording to the first and asks the loop to quit. Throws when the server cannot
    // listen.
    explicit TFormOmbrix(const FormOptions& options, QWidget* parent = nullptr);
    ~TFormOmbrix() override;

    // True when construction asked the loop to end (a hand-off, or no instance object).
    bool TerminationRequested() const { return terminationRequested_; }
    // True when start-up could not claim the single-instance object.
    bool StartupFailed() const { return startupFailed_; }

    // --- player state -----------------------------------------------------------------
    QByteArray RecordingPath;  // the platform's bytes of the path to open next
    io::FilePtr RecordingFile;
    io::FrameHeader FrameHeader;
    // The current frame's escaped bytes; empty optional when no recording is open.
    std::optional<QByteArray> FrameBuffer;
    int32_t ViewerCount = 0;

    // --- components ---------------------------------------------------------------------
    TServerSocket ServerSocket;
    TTimer Timer;
    QStatusBar* StatusBar = nullptr;
    QSlider* TrackBarPlaySpeed = nullptr;
    QLabel* LabelPlaySpeed = nullptr;

    // --- status texts -------------------------------------------------------------------
    void SetStatusConnection(const QString& text);
    void SetStatusFile(const QString& text);
    void SetStatusTime(const QString& text);
    QString StatusText(int panel) const;

    // --- speed --------------------------------------------------------------------------
    int PlaySpeed() const;
    void SetPlaySpeed(int position);  // clamps to 1..100; OnChange only on a real change
    void TrackBarPlaySpeedChange();

    // --- recording reader (playback/Reader.cpp) -----------------------------------------
    void CloseRecording();
    void ReadNextFrame(bool first, bool catchUp);

    // --- frame pump (playback/FramePump.cpp) --------------------------------------------
    bool OpenRecording();
    bool UpdateTimerEnabled();
    void TimerTimer();

    // --- viewers (server/Viewers.cpp) ---------------------------------------------------
    void ServerSocketListen(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientConnect(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientError(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent,
                                 int& ErrorCode);
    // A connection sent everything that waited: a catch-up goes on.
    void ServerSocketClientWrite(QObject* Sender, TCustomWinSocket* Socket);
    void ShowConnectionStatus();

    // --- viewer keys (server/ViewerKeys.cpp) --------------------------------------------
    void ServerSocketClientRead(QObject* Sender, TCustomWinSocket* Socket);

    // --- hand-off and drops (app/UnitOmbrix.cpp) ----------------------------------------
    // A recording handed over by a later instance. Returns 1 when the tag is ours.
    int32_t WMCopyData(uint32_t tag, const QByteArray& bytes);
    // Names dropped on the window, tried in order until one opens.
    void WMDropFiles(const QStringList& names);

    // --- window (app/FormLayout.cpp) ----------------------------------------------------
    QToolBar* ToolBar = nullptr;
    QToolButton* ToolButtonOpen = nullptr;
    QLabel* Label1 = nullptr;
    QWidget* Shape1 = nullptr;
    QLabel* Label2 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QPlainTextEdit* Memo3 = nullptr;
    QMenu* MainMenuFile = nullptr;
    QAction* ActionFileOpen = nullptr;
    QAction* ActionFileExit = nullptr;
    // The user confirmed a file in the open dialog.
    void ActionFileOpenAccept(const QString& fileName);
    // Shows the open dialog; a confirmed file goes to ActionFileOpenAccept.
    void ActionFileOpenExecute();
    // Sets up an open dialog as the program shows it.
    static void ConfigureOpenDialog(QFileDialog& dialog);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    // The timing half of ReadNextFrame: start time, delay, elapsed-time text.
    void ApplyFrameTiming(bool first, bool catchUp);
    // Sends bytes to every listed connection that is not still catching up.
    void Broadcast(const QByteArray& bytes);
    // Sends a newcomer the next part of what it missed; it joins the broadcasts once it
    // has reached the pending frame (server/Viewers.cpp).
    void ContinueCatchUp(TCustomWinSocket* socket);
    // The window's controls, menu, actions and status panels (app/FormLayout.cpp).
    void CreateControls();
    void ConnectComponents();
    bool ClaimInstance(const FormOptions& options);
    void StartAutoFile();
    void RequestTermination();

    bool headless_ = false;
    bool terminationRequested_ = false;
    bool startupFailed_ = false;
    std::array<QLabel*, 3> statusPanels_{};
    std::unique_ptr<SharedMemory> InstanceMapping;
    std::unique_ptr<HandoffServer> handoffServer_;
    // One key decoder per viewer, kept across reads; shared so a viewer hung up while
    // its own keys are handled keeps its decoder until they are done.
    std::unordered_map<const TCustomWinSocket*, std::shared_ptr<TelnetKeyDecoder>> keyDecoders_;
    // Newcomers still being sent what they missed, and the recording each one reads.
    std::unordered_map<const TCustomWinSocket*, std::shared_ptr<ViewerCatchUp>> catchUps_;
};

// The one main window of the process.
extern TFormOmbrix* FormOmbrix;
