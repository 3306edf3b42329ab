#pragma once

#include <QObject>
#include <functional>
#include <limits>

// The way from the NATS client's threads to the program's one thread. The client calls
// back on threads of its own; a callback only copies what it got and posts it here, to
// be run on the thread of a registered object. Callbacks know their object by a number,
// never by its address, so one that fires while (or after) the object goes is dropped.
namespace NatsInbox {

// Registers target; the number goes to the client as its callbacks' closure. Posts that
// would leave more than `limit` bytes of weight waiting for it are dropped.
int Register(QObject* target, qsizetype limit = std::numeric_limits<qsizetype>::max());
// From now on, posts to id are dropped; call before the target goes.
void Unregister(int id);
// Runs job with the target on the target's thread, unless the target is gone or its
// limit would be passed (weight counts against it until the job has run); false when the
// job was dropped.
bool Post(int id, std::function<void(QObject* target)> job, qsizetype weight = 0);

inline void* Closure(int id)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(id));
}
inline int IdOf(void* closure)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(closure));
}

}  // namespace NatsInbox
