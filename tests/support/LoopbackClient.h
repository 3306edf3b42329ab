#pragma once

#include <QByteArray>
#include <functional>

#include "platform/UniqueFd.h"

// A plain TCP client on 127.0.0.1 for tests against a server in the same process. It never
// blocks: every wait runs the Qt event loop meanwhile, so the server keeps working.
class LoopbackClient
{
public:
    LoopbackClient();
    ~LoopbackClient();  // closes
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    // Connects to 127.0.0.1:port and waits for the connection; then runs the loop once
    // more so that an in-process server has usually accepted it.
    bool Connect(int port);
    // The same from another local address of the loopback net, such as 127.0.0.2.
    bool ConnectFrom(const char* localAddress, int port);
    // Sends every byte, running the loop while the socket is full.
    void Send(const QByteArray& bytes);
    // Reads until Received() holds at least total bytes.
    bool WaitForBytes(qsizetype total, int timeoutMs);
    // Reads for ms milliseconds; returns what arrived in that time.
    QByteArray ReadFor(int ms);
    // Everything read so far.
    const QByteArray& Received() const { return received_; }
    // Reads until the peer closed (end of file or reset).
    bool WaitForClose(int timeoutMs);
    // SO_RCVBUF; call before Connect.
    void SetReceiveBufferSize(int bytes);
    // Orderly close.
    void Close();
    // Close with SO_LINGER {1, 0}: the peer sees a reset.
    void Reset();
    int Fd() const { return fd_.Get(); }
    bool PeerClosed() const { return peerClosed_; }

    // Runs the event loop once, sleeping at most ms when nothing happens, and processes
    // deferred deletions as a running loop would.
    static void Pump(int ms = 5);
    // Runs the loop until the condition holds; false on timeout.
    static bool PumpUntil(const std::function<bool()>& condition, int timeoutMs);

private:
    // Takes what the socket holds now.
    void ReadAvailable();

    UniqueFd fd_;
    bool peerClosed_ = false;
    QByteArray received_;
};
