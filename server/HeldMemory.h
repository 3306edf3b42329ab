#pragma once

#include <QtGlobal>

// Memory held for a viewer outside its connection's send queue: what a newcomer's catch-up
// has read but not yet handed to the connection. The bound on all send queues together
// counts it as well, so stalled newcomers cannot hold more between them than the queues
// may. Single-threaded, like the server.
class HeldMemory
{
public:
    HeldMemory() = default;
    ~HeldMemory() { Set(0); }
    HeldMemory(const HeldMemory&) = delete;
    HeldMemory& operator=(const HeldMemory&) = delete;

    // What this holder holds now, in place of what it held before.
    void Set(qsizetype bytes);
    qsizetype Bytes() const { return bytes_; }
    // What every holder holds at this moment.
    static qsizetype Total();

private:
    qsizetype bytes_ = 0;
};
