#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <QString>
#include <cstddef>

// The socket calls of the viewer server and the hand-off endpoint, in one place:
// interrupted calls are retried, new descriptors are non-blocking and close on exec, and
// failures keep errno.
namespace SocketCalls {

// How long a listener rests when a pending connection cannot be taken for want of a
// descriptor or memory; the connection stays pending, so accepting at once would spin.
inline constexpr int kAcceptPauseMs = 100;

// The platform's description of an error number, without trailing blanks, control
// characters or full stops.
QString Description(int code);
// The socket error message for a failed call.
QString ErrorMessage(int code, const QString& api);
// Raises ESocketError with ErrorMessage.
[[noreturn]] void Raise(int code, const QString& api);

// The address family of a numeric address to listen on ("0.0.0.0", "127.0.0.1", "::",
// "::1"): AF_INET, AF_INET6, or 0 when it is not one.
int FamilyOf(const QByteArray& address);
// A stream socket of that family (AF_INET unless told), or -1.
int OpenStream(int family = AF_INET);
// Binds to every local IPv4 interface, allowing a restart while old connections linger.
// Returns 0, or the error number and the call that failed.
int BindAny(int fd, unsigned short port, const char** api);
// Binds to one numeric address (of the socket's family), the same way. "::" takes IPv4
// clients too, whatever the system's default, so one option serves both families.
int BindTo(int fd, const QByteArray& address, unsigned short port, const char** api);
// The next pending connection, or -1 with errno set. One that was aborted while it waited
// is passed over.
int Accept(int fd);
// Bytes waiting to be read; 0 when the count is unavailable.
int BytesWaiting(int fd);
// One send that never raises SIGPIPE and never blocks.
ssize_t Send(int fd, const char* data, std::size_t size);
// The same over several blocks, in order: one system call however many there are.
ssize_t SendVector(int fd, const iovec* parts, int count);
// One receive that never blocks; flags as for recv.
ssize_t Receive(int fd, char* buffer, std::size_t size, int flags = 0);
// The port a socket is bound to, 0 when unknown.
int LocalPort(int fd);
// The peer's address as the system writes it: dotted IPv4 (an IPv4 client of an IPv6
// socket included), or IPv6 text. Raises on failure.
QString PeerAddress(int fd);
// The local address a connection reached, written the same way; empty when unknown.
QString LocalAddress(int fd);

// True when `count` more descriptors could be opened now (each tried by duplicating fd,
// then closed again); otherwise false, with errno saying why.
bool DescriptorsLeft(int fd, int count);

bool WouldBlock(int code);
// True when a call failed for want of descriptors or memory: accepting should pause.
bool OutOfDescriptors(int code);

}  // namespace SocketCalls
