#include "icmp/PingStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void PingStatistics::CountAnswer(int32_t roundtimeMs, int64_t roundTripUs)
{
    ++answered_;
    timeSumMs_ += roundtimeMs;
    minUs_ = timed_ == 0 ? roundTripUs : std::min(minUs_, roundTripUs);
    maxUs_ = timed_ == 0 ? roundTripUs : std::max(maxUs_, roundTripUs);
    ++timed_;
    sumUs_ += double(roundTripUs);
    sumSquaresUs_ += double(roundTripUs) * double(roundTripUs);
}

std::optional<int64_t> PingStatistics::SharePercent() const
{
    if (sent_ <= 0)
        return std::nullopt;
    return int64_t(answered_) * 100 / sent_;
}

std::optional<int64_t> PingStatistics::AverageMs() const
{
    if (sent_ <= 0)
        return std::nullopt;
    return timeSumMs_ / sent_;
}

std::optional<PingStatistics::RoundTrips> PingStatistics::RoundTripFigures() const
{
    if (timed_ == 0)
        return std::nullopt;
    const double n = double(timed_);
    const double mean = sumUs_ / n;
    // The mean deviation as ping reports it: sqrt(mean(x²) − mean(x)²),
    // kept at 0 where rounding would make the difference negative.
    const double mdev = std::sqrt(std::max(0.0, sumSquaresUs_ / n - mean * mean));
    return RoundTrips{double(minUs_) / 1000, mean / 1000, double(maxUs_) / 1000, mdev / 1000};
}

std::string PingStatistics::Summary() const
{
    char text[256];
    int at = std::snprintf(text, sizeof text, "%d packets transmitted, %d received", sent_, answered_);
    if (sent_ > 0) {
        const double loss = double(int64_t(sent_) - answered_) * 100.0 / sent_;
        at += std::snprintf(text + at, sizeof text - size_t(at), ", %g%% packet loss", std::max(0.0, loss));
    }
    if (const auto rtt = RoundTripFigures())
        std::snprintf(text + at, sizeof text - size_t(at), ", rtt min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms",
                      rtt->minMs, rtt->avgMs, rtt->maxMs, rtt->mdevMs);
    return text;
}
