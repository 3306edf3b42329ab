#pragma once

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "playback/PlaybackPorts.h"
#include "server/ControlPolicy.h"
#include "server/KeyRateLimit.h"
#include "server/MemoryBudget.h"
#include "server/ScreenJoin.h"
#include "server/TelnetKeyDecoder.h"
#include "server/TelnetOutput.h"
#include "server/ViewerConnection.h"

// Bytes taken from one viewer's connection per turn of the loop; the rest waits in the
// system for the next turn, after the timer and every other viewer have had theirs.
inline constexpr int kKeyBytesPerRead = 4096;

// The connection panel's text: the waiting port while no viewer is counted, else the
// first viewer's address and the count.
QString ConnectionStatusText(int port, int viewerCount, const QString& firstPeerAddress);

// What the hub tells the program around it.
class ViewerHubHost
{
public:
    virtual ~ViewerHubHost() = default;
    // A viewer joined or is leaving: the connection panel and the timer's enabled state
    // follow. During a departure the leaving viewer is still listed.
    virtual void ViewersChanged() = 0;
    // The recording resized its terminal, as newcomers on the screen are shown it.
    virtual void TerminalResized(QSize /*size*/) {}
};

// Every viewer of the one playback, whatever carries it: the count, the join order, each
// viewer's key decoder, the catch-up of newcomers, and the broadcast of played frames.
class ViewerHub final : public FrameOutput
{
public:
    // What newcomers' catch-ups hold counts in `memory`, beside what the transports queue.
    ViewerHub(ViewerHubHost& host, SpeedControl& speed, MemoryBudget& memory);
    ~ViewerHub() override;

    // The playback that newcomers catch up on and that keys steer; set once.
    void SetPlayback(PlaybackControl* playback) { playback_ = playback; }
    // Keys go there instead of acting here: a relay hands them to the leader. Set once.
    void SetKeyForwarder(std::function<void(ViewerKey)> forward)
    {
        forwardKey_ = std::move(forward);
    }
    // A key typed elsewhere (at a relay) that acts here as if a viewer here typed it.
    void ApplyKey(ViewerKey key);
    // From now on newcomers get a repaint of the current screen rather than the replay,
    // wherever it can be exact; recordings without a size are played on `defaultSize`.
    // Set once, before the first recording opens.
    void JoinOnScreen(QSize defaultSize);
    // A recording has started, stating its terminal's size or not.
    void RecordingStarted(std::optional<QSize> terminalSize);
    // The size newcomers on the screen are painted at; none when they get the replay.
    std::optional<QSize> ScreenSize() const;
    // Whose keys steer. The keys of a viewer who may not are still decoded (its telnet
    // negotiation is handled as before) and then dropped. Applies to viewers who join
    // from now on.
    void SetControl(ControlMode mode) { control_ = mode; }
    // Whether keys typed by a viewer at `origin` may steer, wherever they arrive from.
    bool MaySteer(const QHostAddress& origin) const { return ::MaySteer(control_, origin); }
    // Newcomers past this many viewers are turned away; 0: no cap.
    void SetMaxViewers(int count) { maxViewers_ = count; }

    // A viewer arrived: counted, greeted (telnet viewers), then sent what it missed; or,
    // past the cap, told so and closed, leaving the others untouched.
    void Join(ViewerConnection* viewer);
    // A viewer is leaving; the transport frees it later.
    void Leave(ViewerConnection* viewer);
    // Bytes the viewer typed: keys that change the speed or send the next frame, as many as
    // its rate allows (the rest are decoded and dropped).
    void Received(ViewerConnection* viewer, const QByteArray& bytes);
    // The viewer took what was sent: its catch-up goes on.
    void Writable(ViewerConnection* viewer);

    int ViewerCount() const { return viewerCount_; }
    // The viewer that joined first of those listed; null when none.
    ViewerConnection* FirstViewer() const;
    // The first viewer's address, empty when the system cannot tell it or none is listed.
    QString FirstViewerAddress() const;
    bool IsCatchingUp(const ViewerConnection* viewer) const;

    // FrameOutput
    void Broadcast(const QByteArray& recorded) override;
    bool HasViewers() const override { return viewerCount_ > 0; }
    void RecordingChanged() override;
    // Viewers get these through their catch-up, which reads them from the recording, or
    // through the screen they are painted.
    void PlayedUnseen(const QByteArray& recorded) override;
    // Each viewer connected gets what a newcomer gets, from where it stands: the player
    // has cleared the screens that showed anything.
    void RejoinViewers() override;

private:
    struct CatchUp;
    struct Viewer;

    std::shared_ptr<Viewer> Find(const ViewerConnection* viewer) const;
    // Applies the key if the viewer is still here and its rate allows it.
    void ApplyKeyOf(Viewer& viewer, ViewerKey key, KeyRateLimit::Clock::time_point now);
    // A read that ended inside a possible escape sequence: if nothing finishes it soon,
    // what is held is taken as keys (a lone ESC is one next-frame key).
    void WaitForRestOfEscape(const std::shared_ptr<Viewer>& viewer);
    void ArmEscapeTimer();
    void FlushDueEscapes();
    // Sends the newcomer the current screen; false when it needs the replay instead.
    bool SendScreen(Viewer& viewer);
    void StartCatchUp(const std::shared_ptr<Viewer>& viewer);
    void ContinueCatchUp(const std::shared_ptr<Viewer>& viewer);
    bool FillCatchUpBlock(CatchUp& catchUp) const;
    void DropDeparted();

    ViewerHubHost& host_;
    SpeedControl& speed_;
    MemoryBudget& memory_;
    PlaybackControl* playback_ = nullptr;
    std::function<void(ViewerKey)> forwardKey_;
    ControlMode control_ = ControlMode::Everyone;
    int maxViewers_ = 0;
    int viewerCount_ = 0;
    // In join order. A viewer leaving during a broadcast is only marked, and dropped when
    // the broadcast is over, so the loop's indices stay valid.
    std::vector<std::shared_ptr<Viewer>> viewers_;
    std::unordered_map<const ViewerConnection*, std::shared_ptr<Viewer>> byConnection_;
    int broadcasting_ = 0;
    // One timer for every viewer holding a possible escape, due at the earliest of them.
    QTimer escapeTimer_;
    bool departedPending_ = false;
    // Only while newcomers join on the screen: replay joins pay nothing for it.
    std::unique_ptr<ScreenJoin> screen_;
};
