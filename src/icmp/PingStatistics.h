#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The running figures of one ping run as its report rows show them: echoes
// sent, answers, the share answered and the average round trip, each a whole
// number rounded down. The average spreads the answers' times over every echo
// sent, so a lost echo pulls it down as it pulls the share down.
// Beside them, the answers' round trips in microseconds for the summary ping
// users read at the end: min/avg/max/mdev over the answers alone, as iputils
// ping computes them.
class PingStatistics final {
public:
    PingStatistics() = default;
    // A run whose counts start above zero.
    PingStatistics(int32_t sent, int32_t answered) : sent_(sent), answered_(answered) {}

    void CountSent() { ++sent_; }
    // An answer measured in whole milliseconds only.
    void CountAnswer(int32_t roundtimeMs) { CountAnswer(roundtimeMs, int64_t(roundtimeMs) * 1000); }
    void CountAnswer(int32_t roundtimeMs, int64_t roundTripUs);

    // Also the number of the latest echo.
    int32_t Sent() const { return sent_; }
    int32_t Answered() const { return answered_; }
    // Percent of the echoes sent that were answered; none before the first
    // echo, when there is nothing to divide by (a late answer to an earlier run).
    std::optional<int64_t> SharePercent() const;
    // The answers' round trips summed over the echoes sent, in ms; none before the first echo.
    std::optional<int64_t> AverageMs() const;

    // Over the answers' microsecond round trips; none before the first answer.
    struct RoundTrips {
        double minMs, avgMs, maxMs, mdevMs;
    };
    std::optional<RoundTrips> RoundTripFigures() const;
    // "5 packets transmitted, 4 received, 20% packet loss, rtt min/avg/max/mdev
    // = 0.031/0.045/0.062/0.011 ms"; without the rtt part when nothing
    // answered, without the loss when nothing was sent.
    std::string Summary() const;

private:
    int32_t sent_ = 0;
    int32_t answered_ = 0;
    int64_t timeSumMs_ = 0; // wide: a long run's sum would not fit 32 bits
    int64_t timed_ = 0;     // answers with a round trip in µs
    int64_t minUs_ = 0, maxUs_ = 0;
    double sumUs_ = 0, sumSquaresUs_ = 0;
};
