#include "server/SocketPoller.h"

#include <sys/epoll.h>
#include <QPointer>
#include <QSocketNotifier>
#include <cerrno>

namespace {

// Readiness fetched per turn of the loop. More than this stays in the set, which keeps its
// descriptor readable, so the rest comes on the next turn, after timers and other events.
constexpr int kEventsPerTurn = 512;

uint64_t Key(int descriptor, uint32_t generation)
{
    return uint64_t{generation} << 32 | static_cast<uint32_t>(descriptor);
}

}  // namespace

SocketPoller::SocketPoller() : epoll_(::epoll_create1(EPOLL_CLOEXEC))
{
    if (!epoll_.Valid()) {
        createError_ = errno;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(epoll_.Get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Dispatch(); });
}

SocketPoller::~SocketPoller() = default;

SocketPoller::Slot* SocketPoller::SlotOf(int descriptor)
{
    if (descriptor < 0 || static_cast<size_t>(descriptor) >= slots_.size()) {
        return nullptr;
    }
    Slot& slot = slots_[static_cast<size_t>(descriptor)];
    return slot.target != nullptr ? &slot : nullptr;
}

void SocketPoller::Watch(int descriptor, SocketReadiness* target, bool edgeTriggered)
{
    if (descriptor < 0) {
        return;
    }
    if (static_cast<size_t>(descriptor) >= slots_.size()) {
        slots_.resize(static_cast<size_t>(descriptor) + 1);
    }
    Forget(descriptor);
    Slot& slot = slots_[static_cast<size_t>(descriptor)];
    slot.target = target;
    slot.edge = edgeTriggered;
    // A new generation, so that readiness fetched for an earlier holder of the same
    // number is not delivered to this one.
    slot.generation = nextGeneration_++;
}

void SocketPoller::SetInterest(int descriptor, bool read, bool write)
{
    if (Slot* slot = SlotOf(descriptor)) {
        Apply(descriptor, *slot, read, write);
    }
}

void SocketPoller::Forget(int descriptor)
{
    if (Slot* slot = SlotOf(descriptor)) {
        Apply(descriptor, *slot, false, false);
        *slot = Slot{};
    }
}

void SocketPoller::Apply(int descriptor, Slot& slot, bool read, bool write)
{
    slot.read = read;
    slot.write = write;
    if (!epoll_.Valid()) {
        return;
    }
    if (!read && !write) {
        if (slot.inSet) {
            ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, descriptor, nullptr);
            slot.inSet = false;
        }
        return;
    }
    epoll_event wanted{};
    wanted.events =
        (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u) | (slot.edge ? EPOLLET | EPOLLRDHUP : 0u);
    wanted.data.u64 = Key(descriptor, slot.generation);
    const int operation = slot.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epoll_.Get(), operation, descriptor, &wanted) == 0) {
        slot.inSet = true;
    }
}

void SocketPoller::Dispatch()
{
    // On the stack: a handler may run a nested loop (an error box) that dispatches again.
    epoll_event events[kEventsPerTurn];
    int count = 0;
    do {
        count = ::epoll_wait(epoll_.Get(), events, kEventsPerTurn, 0);
    } while (count < 0 && errno == EINTR);
    QPointer<SocketPoller> self(this);
    for (int i = 0; i < count && self; ++i) {
        const int descriptor = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        const Slot* slot = SlotOf(descriptor);
        // Closed, or the number handed to a newer socket, by a handler earlier in the turn.
        if (slot == nullptr || Key(descriptor, slot->generation) != events[i].data.u64) {
            continue;
        }
        const uint32_t ready = events[i].events;
        const bool readable =
            slot->read && (ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
        const bool writable = slot->write && (ready & (EPOLLOUT | EPOLLERR)) != 0;
        if (readable || writable) {
            slot->target->SocketReady(descriptor, readable, writable);
        }
    }
}
