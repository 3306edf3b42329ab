#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QtGlobal>
#include <functional>

#include "platform/UniqueFd.h"
#include "server/HttpRequestHead.h"
#include "server/SocketPoller.h"

// One connection to the web port from its acceptance until it has been answered and
// closed, or handed on for a WebSocket. It holds nothing the client sent: the request head
// is peeked at as it grows, so a WebSocket request goes on exactly as it came, and an
// answer is written from bytes shared with every other answer (the page's files), as the
// socket takes them. Its readiness is edge-triggered: a head still incomplete is looked at
// again only when more of it arrives.
//
// States: reading the head -> writing the answer -> lingering (the answer is out and the
// writing side shut; what the client still sends is read and dropped until it closes, so
// closing never resets the connection under an answer it has not read yet) -> ended. Or:
// reading the head -> ended, the descriptor given away or the client gone. Every state
// but the last has a deadline, which the owner enforces.
class HttpConnection final : private SocketReadiness
{
public:
    // How long a connection may take to send its head and read its answer.
    static constexpr qint64 kDeadlineMs = 30000;
    // How long the client has to close once it has its answer.
    static constexpr qint64 kLingerMs = 2000;

    // Told once the head is complete or past its bound (state Complete or TooLarge, the
    // bytes so far in head): the handler answers, or takes the descriptor with Release().
    using HeadHandler =
        std::function<void(HttpConnection&, HttpHeadState state, QByteArrayView head)>;
    // Told once the connection has ended, however it ended; the owner frees it later, never
    // inside this call.
    using EndHandler = std::function<void(HttpConnection&)>;

    // peer: the address the connection comes from. The poller must outlive this object.
    HttpConnection(UniqueFd fd, const QHostAddress& peer, SocketPoller& poller, HeadHandler onHead,
                   EndHandler onEnd);
    ~HttpConnection() override;
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Looks at what has arrived already; call once, after construction.
    void Start();

    const QHostAddress& Peer() const { return peer_; }
    // Who the request is from: the peer, until a trusted proxy's head names its client.
    const QHostAddress& Client() const { return client_; }
    void SetClient(const QHostAddress& client) { client_ = client; }
    // The local address the client reached as a URL writes its host (dotted IPv4, or
    // IPv6 in brackets); empty when unknown.
    QByteArray LocalAddress() const;
    bool Ended() const { return state_ == State::Ended; }
    // True once its state's deadline has passed.
    bool Overdue() const { return !Ended() && age_.elapsed() >= deadlineMs_; }

    // Sends head, then body; both are shared, never copied. The connection ends once the
    // client has them and has closed, or its time is up.
    void Answer(const QByteArray& head, const QByteArray& body = QByteArray());
    // Gives the descriptor up, with the request still unread in it; the connection ends.
    UniqueFd Release();
    // Closes now.
    void End();

private:
    enum class State
    {
        ReadingHead,
        Writing,
        Lingering,
        Ended,
    };

    void SocketReady(int descriptor, bool readable, bool writable) override;
    void Advance(bool readable, bool writable);
    void ReadHead();
    bool PeerClosed() const;
    void Write();
    // Reads and drops what the client sends after its head; false when it has closed.
    bool Drain();
    void Linger();

    UniqueFd fd_;
    QHostAddress peer_;
    QHostAddress client_;
    SocketPoller& poller_;
    HeadHandler onHead_;
    EndHandler onEnd_;
    State state_ = State::ReadingHead;
    QElapsedTimer age_;
    qint64 deadlineMs_ = kDeadlineMs;
    qsizetype peeked_ = 0;  // head bytes seen at the last look
    QByteArray head_;
    QByteArray body_;
    qsizetype sent_ = 0;  // of head_ and then body_
};
