#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTimer>
#include <QtGlobal>
#include <functional>

#include "platform/UniqueFd.h"

// Makes a bound socket listen and takes its pending connections one at a time, without
// ever spinning the loop. A connection that cannot be taken for want of descriptors or
// memory stays pending, so the socket stays readable: accepting then rests a moment. When
// descriptors stay short, newcomers are refused through a descriptor kept in reserve
// rather than left waiting in the backlog.
class SocketAcceptor
{
public:
    // setAccepting(false) stops the listening socket's readiness for the pause;
    // setAccepting(true) starts it again.
    explicit SocketAcceptor(std::function<void(bool)> setAccepting);
    SocketAcceptor(const SocketAcceptor&) = delete;
    SocketAcceptor& operator=(const SocketAcceptor&) = delete;

    // Binds to one numeric address (empty: every local IPv4 interface); throws
    // ESocketError naming the call that failed.
    static void Bind(int fd, const QByteArray& address, quint16 port);
    // A socket for that address, or throws ESocketError.
    static UniqueFd OpenFor(const QByteArray& address);
    // Starts listening on a bound socket and takes the reserve; throws ESocketError.
    void Listen(int fd);
    // The next pending connection, or an invalid descriptor when none was taken (none
    // pending, or a shortage, which this handles).
    UniqueFd Accept(int fd);
    // Ends a pause and gives the reserve back: the socket is closing.
    void Stop();

private:
    void ShortOfDescriptors(int fd);
    void RefuseNewcomer(int fd);
    void Pause();

    std::function<void(bool)> setAccepting_;
    // Held open to be given up when the descriptors run out, so that the connection that
    // cannot be served can still be accepted and closed instead of waiting in the backlog.
    UniqueFd reserve_;
    QElapsedTimer descriptorsShortSince_;  // invalid while accepting succeeds
    QTimer pause_;
};
