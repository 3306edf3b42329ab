#pragma once

#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

// Passes a changing value on at most once per interval, the latest one winning: a change
// after a quiet interval goes at once; the changes that follow within the interval are
// held, and the last of them goes when it ends, unless it is back to the value that went
// last. For announcements that a flood of changes must not multiply (a text to every
// page, a status line each).
class Coalescer
{
public:
    Coalescer(std::chrono::milliseconds interval, std::function<void(int)> deliver);
    Coalescer(const Coalescer&) = delete;
    Coalescer& operator=(const Coalescer&) = delete;

    void Offer(int value);

private:
    void IntervalEnded();

    std::function<void(int)> deliver_;
    QTimer interval_;
    std::optional<int> held_;
    std::optional<int> delivered_;
};
