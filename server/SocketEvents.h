#pragma once

#include <functional>

class QObject;
class TCustomWinSocket;
class TServerClientWinSocket;

// What the server component reports, and the shapes of the handlers it reports to.

enum TServerType
{
    stNonBlocking = 0,
    stThreadBlocking = 1
};
enum TErrorEvent
{
    erGeneral = 0,
    erSend = 1,
    erReceive = 2,
    erConnect = 3,
    erDisconnect = 4,
    erAccept = 5,
    erLookup = 6
};
enum TSocketEventKind
{
    skLookup = 0,
    skConnecting = 1,
    skConnect = 2,
    skDisconnect = 3,
    skListen = 4,
    skAccept = 5,
    skWrite = 6,
    skRead = 7
};

using TSocketNotifyEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket)>;
using TSocketErrorEvent = std::function<void(QObject* Sender, TCustomWinSocket* Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;
using TGetSocketEvent =
    std::function<void(QObject* Sender, int Socket, TServerClientWinSocket*& ClientSocket)>;
