#pragma once

// The longest time the event loop went without running a short timer while a
// command ran: how long the window could not paint.

#include "BenchTiming.h"

#include <QObject>
#include <QTimer>

#include <algorithm>

class StallMeter {
public:
    explicit StallMeter(int periodMs)
    {
        QObject::connect(&ticker_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, MsSince(last_));
            last_ = Clock::now();
        });
        ticker_.start(periodMs);
    }
    // Starts measuring afresh, at the command's start.
    void Restart()
    {
        last_ = Clock::now();
        longest_ = 0;
    }
    // The longest stall so far, the one under way included.
    double LongestMs() const { return std::max(longest_, MsSince(last_)); }

private:
    QTimer ticker_;
    Clock::time_point last_ = Clock::now();
    double longest_ = 0;
};
