#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <algorithm>

// The most memory viewers may hold: one viewer, and all of them together.
struct MemoryLimits
{
    qsizetype perViewer;
    qsizetype total;
};

// The memory held for the viewers, whatever carries them: the blocks queued for telnet
// connections and for browsers, and what newcomers' catch-ups have read but not yet handed
// on. One total, measured one way, against one pair of limits, so no kind of viewer can
// hold the memory another kind was promised. Whoever owns the viewers owns the budget and
// hands it to every transport and to the hub. Single-threaded, like the server.
class MemoryBudget
{
public:
    class Account;

    static constexpr MemoryLimits kDefaultLimits{qsizetype{256} * 1024 * 1024,
                                                 qsizetype{1024} * 1024 * 1024};
    // Memory one queued entry pins beyond its block's bytes: the entry itself, the block's
    // header and the allocator's bookkeeping.
    static constexpr qsizetype kEntryOverhead = qsizetype{sizeof(QByteArray)} + 40;

    explicit MemoryBudget(MemoryLimits limits = kDefaultLimits) : limits_(limits) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    MemoryLimits Limits() const { return limits_; }
    // Binds every account from its next charge on; tests make the limits small.
    void SetLimits(MemoryLimits limits) { limits_ = limits; }
    // What every account holds at this moment.
    qsizetype Total() const { return total_; }

    // What queueing a shared block costs: its whole allocation, not the bytes left to
    // send, because the allocation lives until the last of them has gone.
    static qsizetype MemoryOf(const QByteArray& block)
    {
        return std::max(block.capacity(), block.size()) + kEntryOverhead;
    }
    // What queueing a copy of `bytes` bytes costs, where the transport copies what it is
    // given into a buffer of its own.
    static qsizetype MemoryOfCopy(qsizetype bytes) { return bytes + kEntryOverhead; }

private:
    MemoryLimits limits_;
    qsizetype total_ = 0;
};

// What one holder holds of a budget: one viewer's queue, or one catch-up's read-ahead.
// Everything it holds goes back to the budget when it is destroyed, so a viewer that goes
// away, however it goes, leaves nothing counted. The budget must outlive it.
class MemoryBudget::Account
{
public:
    explicit Account(MemoryBudget& budget) : budget_(budget) {}
    ~Account() { Set(0); }
    Account(const Account&) = delete;
    Account& operator=(const Account&) = delete;

    // Takes `bytes` more when this account stays within the per-viewer limit and the
    // budget within its total; otherwise takes nothing and returns false, and the holder
    // must let its viewer go rather than queue.
    bool TryCharge(qsizetype bytes);
    // Takes `bytes` more whatever the limits: memory already in use, which must count.
    void Charge(qsizetype bytes) { Set(bytes_ + bytes); }
    // Gives back `bytes` of what it holds.
    void Release(qsizetype bytes) { Set(bytes_ - bytes); }
    // Holds `bytes` now, in place of what it held before.
    void Set(qsizetype bytes);
    // The same for memory already in use, which must count whatever the limits: false when
    // it grew and this account or the budget is now past its limit, and the holder must
    // let its viewer go.
    bool Recount(qsizetype bytes);
    qsizetype Bytes() const { return bytes_; }

private:
    MemoryBudget& budget_;
    qsizetype bytes_ = 0;
};
