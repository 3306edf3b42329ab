#include "relay/ViewerTally.h"

#include <iterator>

bool ViewerTally::Report(const QByteArray& relay, uint32_t viewers, Clock::time_point now)
{
    if (reports_.size() >= kMaxRelays && !reports_.contains(relay)) {
        return false;
    }
    const int64_t before = Total();
    reports_[relay] = Report_{viewers, now};
    return Total() != before;
}

bool ViewerTally::Expire(Clock::time_point now)
{
    const int64_t before = Total();
    for (auto it = reports_.begin(); it != reports_.end();) {
        it = now - it->second.at > expiry_ ? reports_.erase(it) : std::next(it);
    }
    return Total() != before;
}

int64_t ViewerTally::Total() const
{
    int64_t total = 0;
    for (const auto& [relay, report] : reports_) {
        total += report.viewers;
    }
    return total;
}
