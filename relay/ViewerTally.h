#pragma once

#include <QByteArray>
#include <chrono>
#include <map>

// The viewers the relays of a channel report, each relay's latest count kept until it
// expires: a relay that was killed, or that lost its way to the leader, drops out of the
// total by itself.
class ViewerTally
{
public:
    using Clock = std::chrono::steady_clock;

    // Reports from more relays than this are not counted: names are whatever a publisher
    // on the channel's subject says.
    static constexpr size_t kMaxRelays = 4096;

    explicit ViewerTally(Clock::duration expiry) : expiry_(expiry) {}

    // A relay's report; true when the total changed.
    bool Report(const QByteArray& relay, uint32_t viewers, Clock::time_point now);
    // Forgets reports older than the expiry; true when the total changed.
    bool Expire(Clock::time_point now);
    // The viewers of every relay that reported in time.
    int64_t Total() const { return total_; }
    int Relays() const { return static_cast<int>(reports_.size()); }

private:
    struct Report_
    {
        uint32_t viewers = 0;
        Clock::time_point at{};
    };
    Clock::duration expiry_;
    std::map<QByteArray, Report_> reports_;
    int64_t total_ = 0;
};
