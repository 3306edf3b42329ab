#include "platform/Coalescer.h"

#include "platform/ErrorDisplay.h"

Coalescer::Coalescer(std::chrono::milliseconds interval, std::function<void(int)> deliver)
    : deliver_(std::move(deliver))
{
    interval_.setSingleShot(true);
    interval_.setInterval(interval);
    QObject::connect(&interval_, &QTimer::timeout,
                     [this] { ErrorDisplay::Guard([this] { IntervalEnded(); }); });
}

void Coalescer::Offer(int value)
{
    if (interval_.isActive()) {
        held_ = value;
        return;
    }
    delivered_ = value;
    interval_.start();
    deliver_(value);
}

void Coalescer::IntervalEnded()
{
    const std::optional<int> held = std::exchange(held_, std::nullopt);
    if (held && held != delivered_) {
        Offer(*held);
    }
}
