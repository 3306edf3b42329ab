#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// One viewer as the viewer hub sees it, whatever carries it: a telnet connection of the
// server component, a browser's WebSocket. The hub never frees one; the transport tells
// the hub when a viewer leaves and frees it later, on its own terms.
class ViewerConnection
{
public:
    // How a viewer wants frame bytes: telnet viewers get every 0xFF doubled (the hub
    // escapes each frame once for all of them); raw viewers (browsers) get the recorded
    // bytes untouched.
    enum class Encoding
    {
        Telnet,
        Raw,
    };

    virtual ~ViewerConnection() = default;

    virtual Encoding FrameEncoding() const = 0;
    // Queues bytes for the viewer without blocking, sharing them rather than copying.
    // A viewer past its bound is closed (and the hub told) inside this call.
    virtual void Send(const QByteArray& bytes) = 0;
    // Bytes sent but not yet taken by the viewer's side.
    virtual qsizetype PendingBytes() const = 0;
    virtual bool IsConnected() const = 0;
    // The client's address as the connection panel shows it (dotted IPv4, or IPv6);
    // throws when the system cannot tell.
    virtual QString PeerAddress() = 0;
    // The address whose keys these are, for deciding whether they may steer; a null
    // address when the transport cannot tell, which is never taken for this machine.
    virtual QHostAddress ClientAddress() const { return QHostAddress(); }
    // Closes now; the hub hears of the departure through the transport.
    virtual void Close() = 0;
    // Tells a newcomer in its own medium why it cannot stay, in one short line, and closes.
    virtual void TurnAway(const QString& reason)
    {
        (void)reason;
        Close();
    }
};
