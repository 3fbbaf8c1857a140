#include "icmp/PingStatistics.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

TEST(PingStatistics, ShareAndAverageAreRoundedDownOverTheEchoesSent)
{
    struct Case {
        const char* what;
        PingStatistics start;
        int sent;
        std::vector<int32_t> answers;
        std::optional<int64_t> share, average;
    };
    const Case cases[] = {
        {"nothing sent yet", {}, 0, {}, std::nullopt, std::nullopt},
        {"an answer before the first echo", {}, 0, {12}, std::nullopt, std::nullopt},
        {"one echo, answered", {}, 1, {7}, 100, 7},
        {"none answered", {}, 3, {}, 0, 0},
        {"two of three", {}, 3, {10, 11}, 66, 7},
        {"one of seven, fast", {}, 7, {6}, 14, 0},
        {"lost echoes pull the average down", {}, 4, {100, 100}, 50, 50},
        {"counts that start at five", {5, 5}, 0, {}, 100, 0},
        {"past five", {5, 5}, 2, {3}, 85, 0},
        {"a sum past 32 bits", {}, 600000, std::vector<int32_t>(600000, 4000), 100, 4000},
    };
    for (const Case& c : cases) {
        PingStatistics stats = c.start;
        for (int i = 0; i < c.sent; ++i)
            stats.CountSent();
        for (const int32_t ms : c.answers)
            stats.CountAnswer(ms);
        EXPECT_EQ(stats.SharePercent(), c.share) << c.what;
        EXPECT_EQ(stats.AverageMs(), c.average) << c.what;
        EXPECT_EQ(stats.Sent(), c.start.Sent() + c.sent) << c.what;
        EXPECT_EQ(stats.Answered(), c.start.Answered() + int32_t(c.answers.size())) << c.what;
    }
}

TEST(PingStatistics, TheSummaryGivesLossAndRoundTripsInMillisecondsWithThreeDecimals)
{
    struct Case {
        const char* what;
        int sent;
        std::vector<int64_t> answersUs;
        const char* summary;
    };
    const Case cases[] = {
        {"nothing sent", 0, {}, "0 packets transmitted, 0 received"},
        {"nothing answered", 3, {}, "3 packets transmitted, 0 received, 100% packet loss"},
        {"one of three", 3, {500}, "3 packets transmitted, 1 received, 66.6667% packet loss, "
                                   "rtt min/avg/max/mdev = 0.500/0.500/0.500/0.000 ms"},
        {"spread", 4, {3000, 1000, 2000}, "4 packets transmitted, 3 received, 25% packet loss, "
                                          "rtt min/avg/max/mdev = 1.000/2.000/3.000/0.816 ms"},
        // avg 20.333 us, mdev sqrt(487 - 413.444) = 8.577 us: one rounds down, one up.
        {"rounded to the microsecond", 3, {10, 31, 20}, "3 packets transmitted, 3 received, 0% packet loss, "
                                                        "rtt min/avg/max/mdev = 0.010/0.020/0.031/0.009 ms"},
    };
    for (const Case& c : cases) {
        PingStatistics stats;
        for (int i = 0; i < c.sent; ++i)
            stats.CountSent();
        for (const int64_t us : c.answersUs)
            stats.CountAnswer(int32_t(us / 1000), us);
        EXPECT_EQ(stats.Summary(), c.summary) << c.what;
    }

    // Answers known in whole milliseconds only count as that many microseconds.
    PingStatistics whole;
    whole.CountSent();
    whole.CountAnswer(7);
    EXPECT_EQ(whole.Summary(), "1 packets transmitted, 1 received, 0% packet loss, "
                               "rtt min/avg/max/mdev = 7.000/7.000/7.000/0.000 ms");
    EXPECT_EQ(whole.AverageMs(), 7) << "the rows' figures stay whole milliseconds";
}
