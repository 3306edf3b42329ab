#include "relay/ViewerTally.h"

bool ViewerTally::Report(const QByteArray& relay, uint32_t viewers, Clock::time_point now)
{
    if (reports_.size() >= kMaxRelays && !reports_.contains(relay)) {
        return false;
    }
    Report_& report = reports_[relay];
    const uint32_t before = report.viewers;
    total_ += static_cast<int64_t>(viewers) - before;
    report = Report_{viewers, now};
    return viewers != before;
}

bool ViewerTally::Expire(Clock::time_point now)
{
    const int64_t before = total_;
    for (auto it = reports_.begin(); it != reports_.end();) {
        if (now - it->second.at > expiry_) {
            total_ -= it->second.viewers;
            it = reports_.erase(it);
        } else {
            ++it;
        }
    }
    return total_ != before;
}
