#pragma once

#include <QObject>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/UniqueFd.h"

class QSocketNotifier;

// What a watched socket is told when the system reports it ready.
class SocketReadiness
{
public:
    virtual ~SocketReadiness() = default;
    // readable: data, end of file, or an error waits; writable: sending is possible again
    // (or the socket failed). Only the kinds of readiness the socket asked for are given.
    virtual void SocketReady(int descriptor, bool readable, bool writable) = 0;
};

// Readiness for every socket of one server through a single epoll set: Qt watches only
// the set's own descriptor, so a turn of the event loop costs what is ready, not what is
// connected.
//
// Level-triggered by default, on purpose. The component reports one accepted connection per
// notification and relies on the notification coming again while connections are
// pending; a read handler may take nothing and be told again while bytes wait. Both are
// the semantics of a level-triggered watch; edge-triggered readiness would force every
// handler to drain its socket to EAGAIN, which the component's events do not promise.
class SocketPoller : public QObject
{
    Q_OBJECT

public:
    SocketPoller();
    ~SocketPoller() override;
    SocketPoller(const SocketPoller&) = delete;
    SocketPoller& operator=(const SocketPoller&) = delete;

    bool Valid() const { return epoll_.Valid(); }
    // The error number that kept the set from being made.
    int CreateError() const { return createError_; }
    // Starts watching a descriptor for its target, with no interest yet. An edge-triggered
    // watch reports a kind of readiness only when it arises anew (more bytes, room again,
    // the peer's close), for a target that leaves bytes where they are on purpose.
    void Watch(int descriptor, SocketReadiness* target, bool edgeTriggered = false);
    // What the target wants to hear about. A descriptor that wants nothing leaves the
    // set, so that an error or a hang-up on it cannot wake the loop.
    void SetInterest(int descriptor, bool read, bool write);
    // Stops watching; a readiness already fetched for it is dropped. Call before close.
    void Forget(int descriptor);

private:
    struct Slot
    {
        SocketReadiness* target = nullptr;
        uint32_t generation = 0;
        bool read = false;
        bool write = false;
        bool inSet = false;
        bool edge = false;
    };

    Slot* SlotOf(int descriptor);
    void Apply(int descriptor, Slot& slot, bool read, bool write);
    void Dispatch();

    UniqueFd epoll_;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::vector<Slot> slots_;  // indexed by descriptor
    uint32_t nextGeneration_ = 1;
    int createError_ = 0;
};
