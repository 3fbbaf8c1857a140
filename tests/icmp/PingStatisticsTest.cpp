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
