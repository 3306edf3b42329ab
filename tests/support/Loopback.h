#pragma once

#include "platform/UniqueFd.h"

// Connecting to a server on 127.0.0.1, for the tests and the benchmarks alike: what a
// viewer's socket is, how its connect starts and ends, and whether a port listens yet.

// A free TCP port on 127.0.0.1 at the moment of asking.
int FreePort();
// Takes the port on every IPv4 address, as the program would, and listens on it; invalid
// when the port is taken.
UniqueFd TakePort(int port);

struct LoopbackOptions
{
    // SO_RCVBUF before connecting (a viewer that reads slowly); 0 leaves the system's.
    int receiveBufferBytes = 0;
    // TCP_NODELAY, so a key goes out at once.
    bool noDelay = false;
    // The local address of the loopback net to connect from (such as "127.0.0.2"), so a
    // server can tell two viewers apart; null: the system's choice.
    const char* localAddress = nullptr;
};

// A non-blocking, close-on-exec TCP socket with the options applied; invalid when the
// system refuses a socket or the local address.
UniqueFd NewLoopbackSocket(const LoopbackOptions& options = {});
// Binds the socket to a local address of the loopback net; false when it cannot be.
bool BindLocalAddress(int fd, const char* address);
// Starts connecting the socket to 127.0.0.1:port; true when the connection is made or
// under way.
bool StartConnect(int fd, int port);
// Where a started connect stands: -1 while under way, else its error (0: connected).
int ConnectOutcome(int fd, int waitMs = 0);
// A new socket connected to 127.0.0.1:port within timeoutMs; invalid when the connection
// was refused or did not come. The socket stays non-blocking.
UniqueFd ConnectLoopback(int port, const LoopbackOptions& options = {}, int timeoutMs = 5000);
// True once a connection to 127.0.0.1:port gets in (each probe is closed at once): a
// server may announce itself just before its port listens.
bool WaitForListening(int port, int timeoutMs);
