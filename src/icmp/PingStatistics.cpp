#include "icmp/PingStatistics.h"

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
