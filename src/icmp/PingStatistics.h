#pragma once

#include <cstdint>
#include <optional>

// The running figures of one ping run as its report rows show them: echoes
// sent, answers, the share answered and the average round trip, each a whole
// number rounded down. The average spreads the answers' times over every echo
// sent, so a lost echo pulls it down as it pulls the share down.
class PingStatistics final {
public:
    PingStatistics() = default;
    // A run whose counts start above zero.
    PingStatistics(int32_t sent, int32_t answered) : sent_(sent), answered_(answered) {}

    void CountSent() { ++sent_; }
    void CountAnswer(int32_t roundtimeMs)
    {
        ++answered_;
        timeSumMs_ += roundtimeMs;
    }

    // Also the number of the latest echo.
    int32_t Sent() const { return sent_; }
    int32_t Answered() const { return answered_; }
    // Percent of the echoes sent that were answered; none before the first
    // echo, when there is nothing to divide by (a late answer to an earlier run).
    std::optional<int64_t> SharePercent() const;
    // The answers' round trips summed over the echoes sent, in ms; none before the first echo.
    std::optional<int64_t> AverageMs() const;

private:
    int32_t sent_ = 0;
    int32_t answered_ = 0;
    int64_t timeSumMs_ = 0; // wide: a long run's sum would not fit 32 bits
};
