#include "relay/NatsInbox.h"

#include <QMetaObject>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {
struct Entry
{
    QObject* target;
    qsizetype limit;
    std::shared_ptr<std::atomic<qsizetype>> waiting;
};

struct Registry
{
    std::mutex mutex;
    std::unordered_map<int, Entry> entries;
    int nextId = 1;
};

// Never destroyed: a client thread may still call back while the process exits.
Registry& TheRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}
}  // namespace

namespace NatsInbox {

int Register(QObject* target, qsizetype limit)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    const int id = registry.nextId++;
    registry.entries.emplace(id, Entry{target, limit, std::make_shared<std::atomic<qsizetype>>(0)});
    return id;
}

void Unregister(int id)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    registry.entries.erase(id);
}

bool Post(int id, std::function<void(QObject* target)> job, qsizetype weight)
{
    Registry& registry = TheRegistry();
    const std::lock_guard lock(registry.mutex);
    const auto found = registry.entries.find(id);
    if (found == registry.entries.end()) {
        return false;
    }
    const std::shared_ptr<std::atomic<qsizetype>> waiting = found->second.waiting;
    if (weight > 0 && *waiting + weight > found->second.limit) {
        return false;
    }
    *waiting += weight;
    // Posted while the lock holds, so the target cannot be unregistered and destroyed in
    // between; Qt drops what is still queued for an object that is destroyed.
    QObject* target = found->second.target;
    QMetaObject::invokeMethod(
        target,
        [job = std::move(job), waiting, weight, target] {
            *waiting -= weight;
            job(target);
        },
        Qt::QueuedConnection);
    return true;
}

}  // namespace NatsInbox
