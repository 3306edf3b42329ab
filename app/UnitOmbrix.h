#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QMainWindow>
#include <QSize>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/Coalescer.h"
#include "platform/TTimer.h"
#include "playback/PlaybackPorts.h"
#include "playback/Player.h"
#include "playback/TerminalSize.h"
#include "playback/TimerAdapter.h"
#include "playback/io.h"
#include "server/ControlPolicy.h"
#include "server/ForwardedClient.h"
#include "server/MemoryBudget.h"
#include "server/ScktComp.h"
#include "server/ViewerHub.h"

class AnchorLayout;
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
class HandoffServer;
class WebServer;
class ChannelLeader;
class ChannelRelay;

// How the program was started: what the command line says, with the options taken out.
struct FormOptions
{
    // The arguments left after the options, in order, as the platform's bytes; each may
    // name a recording.
    QByteArrayList arguments;
    // The viewer port.
    int port = 21089;
    // The port for browser viewers; 0: none.
    int webPort = 0;
    // The numeric address each port listens on; empty: every IPv4 interface. The web
    // port's, when not given, is the viewer port's.
    QByteArray bindAddress = {};
    QByteArray webBindAddress = {};
    // Whose keys steer the playback.
    ControlMode control = ControlMode::Everyone;
    // Proxies whose forwarded client addresses are believed (the web port only).
    TrustedProxies trustedProxies = {};
    // Viewers at most, telnet and web together; 0: no cap.
    int maxViewers = 0;
    // Hosts besides this machine's own whose pages may open the browser stream, as the
    // operator gave them ("name" or "name:port"), in lower case.
    QByteArrayList webOrigins = {};
    // No window: status changes and errors are printed instead.
    bool headless = false;
    // The name of the single-instance object; tests give their own.
    QString instanceName = QStringLiteral("OmbrixFileMapping");
    // Recorded gaps above this many seconds count as this long; none: as recorded.
    std::optional<double> idleLimit;
    // Every argument is played in turn (a folder stands for the recordings in it),
    // rather than the last that names a file alone.
    bool playlist = false;
    // After the last recording (or the only one) comes the first again.
    bool loop = false;
    // The pause between two recordings, in seconds before the speed divides it.
    double gap = 2.0;
    // Newcomers get a repaint of the current screen rather than everything played so far.
    bool joinOnScreen = false;
    // The terminal of recordings that do not state one.
    QSize terminalSize{kDefaultTerminalColumns, kDefaultTerminalRows};
    // Every recording opened is followed while it is being written; a file named that is
    // not there yet is waited for.
    bool follow = false;
    // The most bytes of a compressed recording kept decoded on disk for catch-ups; 0: none.
    int64_t spoolLimit = SourceOptions::kDefaultSpoolLimit;
    // A channel of several programs meeting in NATS (nats://HOST:PORT): this one plays and
    // publishes (the leader), or serves what the leader plays (a relay). Empty: neither.
    QByteArray publishUrl = {};
    QByteArray relayUrl = {};
    QByteArray channel = {};
};

// The one main window. It owns the player, the viewer hub, the viewer server, the
// playback timer and the speed bar, and joins them: its handlers forward to the player
// and the hub, which hold the logic.
class TFormOmbrix : public QMainWindow,
                    public SpeedControl,
                    public PlaybackStatus,
                    public ViewerHubHost
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
    // True when start-up could not claim the single-instance object, or could not hand its
    // recording over.
    bool StartupFailed() const { return startupFailed_; }

    // --- player state -----------------------------------------------------------------
    QByteArray RecordingPath;  // the platform's bytes of the path to open next
    // The open recording; null when none is open.
    FrameSource* RecordingFile() const;
    // The current frame's header, its length that of FrameBuffer().
    io::FrameHeader FrameHeader() const;
    // The current frame's bytes as a telnet viewer gets them, every 0xFF doubled; empty
    // optional when no recording is open.
    std::optional<QByteArray> FrameBuffer() const;
    int32_t ViewerCount() const { return hub_.ViewerCount(); }
    ::Player& Playback() { return player_; }
    ViewerHub& Viewers() { return hub_; }

    // --- components ---------------------------------------------------------------------
    // What every viewer holds, telnet or web, queued or read ahead, against one pair of
    // limits. Declared before everyone who counts in it, so it outlives them all.
    MemoryBudget ViewerMemory;
    TServerSocket ServerSocket{ViewerMemory};
    TTimer Timer;
    QStatusBar* StatusBar = nullptr;
    QSlider* TrackBarPlaySpeed = nullptr;
    QLabel* LabelPlaySpeed = nullptr;

    // --- status texts -------------------------------------------------------------------
    void SetStatusConnection(const QString& text);
    void SetStatusFile(const QString& text) override;
    void SetStatusTime(const QString& text) override;
    // Pages learn the recording's name and size before its first frame.
    void RecordingStarted(const QString& title, std::optional<QSize> terminalSize) override;
    QString StatusText(int panel) const;

    // --- speed --------------------------------------------------------------------------
    int PlaySpeed() const override;
    // Clamps to 1..100; OnChange only on a real change.
    void SetPlaySpeed(int position) override;
    void TrackBarPlaySpeedChange();

    // --- playback, forwarded to the player (app/FormPlayback.cpp) -----------------------
    void CloseRecording();
    void ReadNextFrame(bool first);
    bool OpenRecording();
    bool UpdateTimerEnabled();
    void TimerTimer();

    // --- viewers, forwarded to the hub (app/FormPlayback.cpp) ---------------------------
    void ServerSocketListen(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientConnect(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientDisconnect(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientError(QObject* Sender, TCustomWinSocket* Socket, TErrorEvent ErrorEvent,
                                 int& ErrorCode);
    // A connection sent everything that waited: a catch-up goes on.
    void ServerSocketClientWrite(QObject* Sender, TCustomWinSocket* Socket);
    void ServerSocketClientRead(QObject* Sender, TCustomWinSocket* Socket);
    void ShowConnectionStatus();
    void ViewersChanged() override;
    void TerminalResized(QSize size) override;

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
    // The window's controls, menu, actions and status panels (app/FormLayout.cpp).
    void CreateControls();
    void createActions();
    void createMenus();
    void createToolBar(QWidget* client, AnchorLayout* anchors);
    void createSpeedControls(QWidget* client, AnchorLayout* anchors);
    void createInfoBox(QWidget* client, AnchorLayout* anchors);
    void createStatusPanels(QWidget* client, AnchorLayout* anchors);
    void ConnectComponents();
    bool ClaimInstance(const FormOptions& options);
    // Sends RecordingPath to the running copy; false, after one line on standard error,
    // when it was not accepted in time.
    bool HandOver(const QString& instanceName);
    void StartAutoFile();
    // Opens the web port; throws when it cannot listen.
    void StartWebServer(const FormOptions& options);
    // Tells the pages and the status output the speed; a flood of speed keys is told as
    // its latest value, a few times a second at most.
    void AnnounceSpeed(int speed);
    // With --playlist or --loop, what the player asks at the end of each recording.
    void CreatePlaylist(const FormOptions& options);
    // With --publish or --relay, joins the channel; throws when it cannot.
    void JoinChannel(const FormOptions& options);
    void StartLeader(const QByteArray& url, const struct ChannelNames& names);
    void StartRelay(const QByteArray& url, const struct ChannelNames& names);
    // A key typed at a relay, as the leader applies it.
    void ApplyRelayedKey(int action, int speed);
    // The viewers of the whole channel, on the pages and the status output.
    void ShowViewerTotal();
    void RequestTermination();

    bool headless_ = false;
    QSize terminalSize_;  // of recordings that do not state one
    bool terminationRequested_ = false;
    bool startupFailed_ = false;
    std::array<QLabel*, 3> statusPanels_{};
    std::unique_ptr<SharedMemory> InstanceMapping;
    std::unique_ptr<HandoffServer> handoffServer_;
    TTimerPlaybackTimer playbackTimer_{Timer};
    // Declared before the player, which asks it what comes next.
    std::unique_ptr<Playlist> playlist_;
    ::Player player_{playbackTimer_, *this, *this};
    ViewerHub hub_{*this, *this, ViewerMemory};
    // Browser viewers, when a web port was asked for; gone before the hub.
    std::unique_ptr<WebServer> webServer_;
    // One of them on a channel: the leader stands between the player and the hub, a relay
    // plays to the hub instead of the player. Gone before the hub.
    std::unique_ptr<ChannelLeader> leader_;
    std::unique_ptr<ChannelRelay> relay_;
    std::optional<int64_t> shownViewerTotal_;
    Coalescer speedAnnouncements_{std::chrono::milliseconds(50),
                                  [this](int speed) { AnnounceSpeed(speed); }};
};

// The one main window of the process.
extern TFormOmbrix* FormOmbrix;
