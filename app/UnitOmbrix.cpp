// The main form's life: construction and the single-instance claim, shutdown, the status
// texts, the speed, and the two ways a recording arrives besides the open dialog.
#include "app/UnitOmbrix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QMimeData>
#include <QSlider>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "app/AutoStart.h"
#include "app/Headless.h"
#include "common/Texts.h"
#include "platform/ErrorDisplay.h"
#include "platform/Exceptions.h"
#include "platform/Handoff.h"
#include "platform/SharedMemory.h"
#include "playback/PlaylistEntries.h"
#include "relay/ChannelLeader.h"
#include "relay/ChannelNames.h"
#include "relay/ChannelRelay.h"
#include "server/WebServer.h"

TFormOmbrix* FormOmbrix = nullptr;

namespace {
// The tag a hand-off carries; the same number as the default viewer port.
constexpr uint32_t kHandoffTag = 21089;
// A hand-off the running copy has not accepted within this time (in all) has failed; the
// first part of it may go on waiting for an endpoint that is still starting.
constexpr int kHandoffAcceptMs = 5000;
constexpr int kHandoffConnectMs = 2000;

// Where the page is found on this machine, as a URL writes the host: a port listening on
// every interface is reached through loopback.
QString PageHost(const QByteArray& bindAddress)
{
    const QHostAddress address(QString::fromLatin1(bindAddress));
    // "::" takes IPv4 clients as well.
    if (bindAddress.isEmpty() || address == QHostAddress::AnyIPv4 ||
        address == QHostAddress::AnyIPv6) {
        return QStringLiteral("127.0.0.1");
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
               : address.toString();
}

// True only for an existing regular file (not a folder).
bool IsExistingFile(const QByteArray& argument)
{
    struct stat info
    {
    };
    return ::stat(argument.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// A file to follow may not be there yet: the recorder may start after us. Its name must
// still be a file's, in a folder that is there.
bool IsFileToBe(const QByteArray& argument)
{
    if (argument.isEmpty() || argument.endsWith('/')) {
        return false;
    }
    struct stat info
    {
    };
    if (::stat(argument.constData(), &info) == 0) {
        return S_ISREG(info.st_mode);
    }
    const qsizetype slash = argument.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : argument.left(slash + 1);
    return errno == ENOENT && ::stat(folder.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

TFormOmbrix::TFormOmbrix(const FormOptions& options, QWidget* parent)
    : QMainWindow(parent), headless_(options.headless), terminalSize_(options.terminalSize)
{
    FormOmbrix = this;
    CreateControls();
    ConnectComponents();
    if (!ClaimInstance(options)) {
        return;
    }
    ServerSocket.SetPort(options.port);
    ServerSocket.SetAddress(options.bindAddress);
    hub_.SetControl(options.control);
    hub_.SetMaxViewers(options.maxViewers);
    player_.SetIdleLimit(options.idleLimit);
    player_.SetSourceOptions(SourceOptions{.spoolLimit = options.spoolLimit});
    player_.SetGap(options.gap);
    if (options.joinOnScreen) {
        hub_.JoinOnScreen(terminalSize_);
    }
    player_.SetFollow(options.follow);
    // Before the ports open: a leader refused, or no NATS there, serves nobody.
    JoinChannel(options);
    if (headless_) {
        // The waiting line comes from inside the opening, between bind and listen; a
        // supervisor that connects on seeing it must find the port listening.
        Headless::HoldUntilNextLoopTurn();
    }
    ServerSocket.SetActive(true);
    if (options.webPort != 0) {
        StartWebServer(options);
    }
    setAcceptDrops(true);
    // After the port opened: a large folder takes a moment to look through.
    CreatePlaylist(options);
    if (playlist_) {
        player_.StartPlaylist();
    } else if (!RecordingPath.isEmpty()) {
        OpenRecording();
    }
    StartAutoFile();
}

bool TFormOmbrix::ClaimInstance(const FormOptions& options)
{
    RecordingPath.clear();
    uint32_t existed = 0;
    InstanceMapping = OpenSharedMemory(options.instanceName, sizeof(uint32_t), &existed);
    if (!InstanceMapping) {
        ErrorDisplay::ShowNotice(Texts::InstanceUnavailable);
        startupFailed_ = true;
        RequestTermination();
        return false;
    }
    // The last argument that names an existing file wins, exactly as written; when
    // following, one that is yet to be written counts too.
    for (const QByteArray& argument : options.arguments) {
        if (options.follow ? IsFileToBe(argument) : IsExistingFile(argument)) {
            RecordingPath = argument;
        }
    }
    if (existed != 0) {
        if (!RecordingPath.isEmpty() && !HandOver(options.instanceName)) {
            startupFailed_ = true;
        }
        CloseSharedMemory(InstanceMapping);
        RequestTermination();
        return false;
    }
    *InstanceMapping->View() = static_cast<uint32_t>(::getpid());
    handoffServer_ = std::make_unique<HandoffServer>(
        options.instanceName,
        [this](uint32_t tag, const QByteArray& bytes) { return WMCopyData(tag, bytes); });
    QString error;
    if (!handoffServer_->Listen(&error)) {
        // Playback works without it; only later starts cannot hand over.
        std::fprintf(stderr, "%s\n", error.toLocal8Bit().constData());
    }
    return true;
}

bool TFormOmbrix::HandOver(const QString& instanceName)
{
    // The running copy may be stopped, stuck or shutting down: the user hears of it within
    // a bounded time instead of waiting on it, or being told nothing at all.
    const std::optional<int32_t> answer =
        SendHandoff(instanceName, kHandoffTag, RecordingPath + '\0', kHandoffConnectMs,
                    kHandoffAcceptMs - kHandoffConnectMs);
    if (answer == std::optional<int32_t>(1)) {
        return true;
    }
    std::fprintf(stderr, "ombrix: %s: %s\n", RecordingPath.constData(),
                 Texts::HandoffNotAccepted.toLocal8Bit().constData());
    std::fflush(stderr);
    return false;
}

TFormOmbrix::~TFormOmbrix()
{
    // First, so no recording is handed to a copy that is going away: a request from now on
    // is refused, and its sender says so.
    handoffServer_.reset();
    setAcceptDrops(false);
    Timer.SetEnabled(false);
    try {
        ServerSocket.SetActive(false);
    } catch (...) {
        ErrorDisplay::ShowCurrentException();
    }
    webServer_.reset();
    CloseRecording();
    player_.SetOutput(&hub_);
    leader_.reset();
    relay_.reset();
    if (InstanceMapping) {
        CloseSharedMemory(InstanceMapping);
    }
    RecordingPath.clear();
    if (FormOmbrix == this) {
        FormOmbrix = nullptr;
    }
}

void TFormOmbrix::RequestTermination()
{
    terminationRequested_ = true;
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void TFormOmbrix::StartWebServer(const FormOptions& options)
{
    webServer_ = std::make_unique<WebServer>(ViewerMemory);
    webServer_->SetAllowedOrigins(options.webOrigins);
    webServer_->SetTrustedProxies(options.trustedProxies);
    webServer_->MaySteer = [this](const QHostAddress& client) { return hub_.MaySteer(client); };
    webServer_->OnJoin = [this](ViewerConnection* viewer) { hub_.Join(viewer); };
    webServer_->OnLeave = [this](ViewerConnection* viewer) { hub_.Leave(viewer); };
    webServer_->OnWritable = [this](ViewerConnection* viewer) { hub_.Writable(viewer); };
    webServer_->OnReceived = [this](ViewerConnection* viewer, const QByteArray& keys) {
        hub_.Received(viewer, keys);
    };
    webServer_->SetSpeed(PlaySpeed());
    webServer_->SetTerminalSize(ClampedTerminalSize(terminalSize_));
    const QByteArray address =
        options.webBindAddress.isEmpty() ? options.bindAddress : options.webBindAddress;
    webServer_->Listen(address, options.webPort);
    if (headless_) {
        Headless::PrintLine("web",
                            QStringLiteral("http://%1:%2/")
                                .arg(PageHost(address), QString::number(webServer_->LocalPort())));
    }
}

void TFormOmbrix::CreatePlaylist(const FormOptions& options)
{
    if (options.playlist) {
        playlist_ = std::make_unique<Playlist>(PlaylistEntries(options.arguments),
                                               Playlist::Kind::List, options.loop);
    } else if (options.loop) {
        const QByteArrayList only =
            RecordingPath.isEmpty() ? QByteArrayList() : QByteArrayList{RecordingPath};
        playlist_ = std::make_unique<Playlist>(only, Playlist::Kind::Single, true);
    }
    player_.SetPlaylist(playlist_.get());
}

void TFormOmbrix::JoinChannel(const FormOptions& options)
{
    if (options.publishUrl.isEmpty() && options.relayUrl.isEmpty()) {
        return;
    }
    QString error;
    const std::optional<ChannelNames> names = ChannelNamesFor(options.channel, &error);
    if (!names) {
        throw Exception(error);
    }
    if (!options.publishUrl.isEmpty()) {
        StartLeader(options.publishUrl, *names);
    } else {
        StartRelay(options.relayUrl, *names);
    }
}

void TFormOmbrix::StartLeader(const QByteArray& url, const ChannelNames& names)
{
    leader_ = std::make_unique<ChannelLeader>(hub_, player_, names);
    QString error;
    if (!leader_->Start(url, &error)) {
        leader_.reset();
        throw Exception(QStringLiteral("ombrix: ") + error);
    }
    player_.SetOutput(leader_.get());
    leader_->OnKey = [this](RelayMessage::KeyAction key, int speed) {
        ApplyRelayedKey(static_cast<int>(key), speed);
    };
    leader_->OnViewersChanged = [this] { ShowConnectionStatus(); };
    ShowViewerTotal();
}

void TFormOmbrix::StartRelay(const QByteArray& url, const ChannelNames& names)
{
    relay_ = std::make_unique<ChannelRelay>(hub_, *this, names);
    QString error;
    if (!relay_->Start(url, &error)) {
        relay_.reset();
        throw Exception(QStringLiteral("ombrix: ") + error);
    }
    hub_.SetPlayback(relay_.get());
    hub_.SetKeyForwarder([this](ViewerKey key) {
        static constexpr RelayMessage::KeyAction kActions[] = {
            RelayMessage::KeyAction::Faster, RelayMessage::KeyAction::Slower,
            RelayMessage::KeyAction::NormalSpeed, RelayMessage::KeyAction::NextFrame};
        relay_->SendKey(kActions[static_cast<int>(key)]);
    });
    relay_->OnSpeed = [this](int speed) { SetPlaySpeed(speed); };
    relay_->OnTotalViewersChanged = [this] { ShowViewerTotal(); };
    ShowViewerTotal();
}

void TFormOmbrix::ApplyRelayedKey(int action, int speed)
{
    // The relay judged its viewer by its own --control; here a key from elsewhere steers
    // only a program that lets everyone steer.
    if (!hub_.MaySteer(QHostAddress())) {
        return;
    }
    switch (static_cast<RelayMessage::KeyAction>(action)) {
        case RelayMessage::KeyAction::Faster:
            hub_.ApplyKey(ViewerKey::Faster);
            break;
        case RelayMessage::KeyAction::Slower:
            hub_.ApplyKey(ViewerKey::Slower);
            break;
        case RelayMessage::KeyAction::NormalSpeed:
            hub_.ApplyKey(ViewerKey::NormalSpeed);
            break;
        case RelayMessage::KeyAction::NextFrame:
            hub_.ApplyKey(ViewerKey::NextFrame);
            break;
        case RelayMessage::KeyAction::SetSpeed:
            SetPlaySpeed(speed);
            break;
    }
}

void TFormOmbrix::ShowViewerTotal()
{
    std::optional<int64_t> total;
    if (leader_) {
        leader_->SetOwnViewers(hub_.ViewerCount());
        total = leader_->TotalViewers();
    } else if (relay_) {
        relay_->SetOwnViewers(hub_.ViewerCount());
        total = relay_->TotalViewers();
    }
    if (!total || total == shownViewerTotal_) {
        return;
    }
    shownViewerTotal_ = total;
    if (webServer_) {
        webServer_->SetViewerCount(static_cast<int>(std::min<int64_t>(*total, INT32_MAX)));
    }
    if (headless_) {
        Headless::PrintLine("viewers", QString::number(*total));
    }
}

void TFormOmbrix::StartAutoFile()
{
    StartAutoFiles(QCoreApplication::applicationDirPath());
}

void TFormOmbrix::ConnectComponents()
{
    player_.SetOutput(&hub_);
    hub_.SetPlayback(&player_);
    Timer.OnTimer = [this] { TimerTimer(); };
    ServerSocket.OnListen = [this](QObject* sender, TCustomWinSocket* socket) {
        ServerSocketListen(sender, socket);
    };
    ServerSocket.OnClientConnect = [this](QObject* sender, TCustomWinSocket* socket) {
        ServerSocketClientConnect(sender, socket);
    };
    ServerSocket.OnClientDisconnect = [this](QObject* sender, TCustomWinSocket* socket) {
        ServerSocketClientDisconnect(sender, socket);
    };
    ServerSocket.OnClientRead = [this](QObject* sender, TCustomWinSocket* socket) {
        ServerSocketClientRead(sender, socket);
    };
    ServerSocket.OnClientWrite = [this](QObject* sender, TCustomWinSocket* socket) {
        ServerSocketClientWrite(sender, socket);
    };
    ServerSocket.OnClientError = [this](QObject* sender, TCustomWinSocket* socket,
                                        TErrorEvent event, int& code) {
        ServerSocketClientError(sender, socket, event, code);
    };
    connect(TrackBarPlaySpeed, &QSlider::valueChanged, this,
            [this] { ErrorDisplay::Guard([this] { TrackBarPlaySpeedChange(); }); });
}

// --- status texts -----------------------------------------------------------------------

namespace {
void SetPanel(QLabel* panel, const QString& text, bool headless, const char* key)
{
    if (panel->text() == text) {
        return;
    }
    panel->setText(text);
    if (headless) {
        Headless::PrintLine(key, text);
    }
}
}  // namespace

void TFormOmbrix::SetStatusConnection(const QString& text)
{
    SetPanel(statusPanels_[0], text, headless_, "connection");
}

void TFormOmbrix::SetStatusFile(const QString& text)
{
    if (leader_ && text != statusPanels_[1]->text()) {
        leader_->FileTextChanged(text);
    }
    SetPanel(statusPanels_[1], text, headless_, "file");
}

void TFormOmbrix::SetStatusTime(const QString& text)
{
    SetPanel(statusPanels_[2], text, headless_, "time");
}

void TFormOmbrix::RecordingStarted(const QString& title, std::optional<QSize> terminalSize)
{
    hub_.RecordingStarted(terminalSize);
    if (webServer_) {
        webServer_->SetTerminalSize(ClampedTerminalSize(terminalSize.value_or(terminalSize_)));
        webServer_->SetRecordingName(title);
    }
    if (leader_) {
        leader_->RecordingStarted(title, terminalSize, PlaySpeed());
    }
}

void TFormOmbrix::TerminalResized(QSize size)
{
    if (webServer_) {
        webServer_->SetTerminalSize(size);
    }
}

QString TFormOmbrix::StatusText(int panel) const
{
    return statusPanels_.at(panel)->text();
}

// --- speed -------------------------------------------------------------------------------

int TFormOmbrix::PlaySpeed() const
{
    return TrackBarPlaySpeed->value();
}

void TFormOmbrix::SetPlaySpeed(int position)
{
    TrackBarPlaySpeed->setValue(position);
}

void TFormOmbrix::TrackBarPlaySpeedChange()
{
    LabelPlaySpeed->setText(QString::number(PlaySpeed()));
    if (webServer_) {
        webServer_->SetSpeed(PlaySpeed());
    }
    speedAnnouncements_.Offer(PlaySpeed());
    // The speed bar of a relay moved by hand: the leader decides, and tells everyone.
    if (relay_ && PlaySpeed() != relay_->LeaderSpeed()) {
        relay_->SendKey(RelayMessage::KeyAction::SetSpeed, PlaySpeed());
    }
}

void TFormOmbrix::AnnounceSpeed(int speed)
{
    if (leader_) {
        leader_->SpeedChanged(speed);
    }
    if (webServer_) {
        webServer_->AnnounceSpeed();
    }
    if (headless_) {
        Headless::PrintLine("speed", QString::number(speed));
    }
}

// --- hand-off and drops -------------------------------------------------------------------

int32_t TFormOmbrix::WMCopyData(uint32_t tag, const QByteArray& bytes)
{
    // A relay plays no file of its own.
    if (tag != kHandoffTag || relay_) {
        return 0;
    }
    const qsizetype nul = bytes.indexOf('\0');
    RecordingPath = nul < 0 ? bytes : bytes.left(nul);
    OpenRecording();
    return 1;
}

void TFormOmbrix::WMDropFiles(const QStringList& names)
{
    for (const QString& name : names) {
        RecordingPath = QFile::encodeName(name);
        if (OpenRecording()) {
            return;
        }
    }
}

void TFormOmbrix::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) {
        event->acceptProposedAction();
    }
}

void TFormOmbrix::dropEvent(QDropEvent* event)
{
    QStringList names;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            names.append(url.toLocalFile());
        }
    }
    event->acceptProposedAction();
    ErrorDisplay::Guard([&] { WMDropFiles(names); });
}
