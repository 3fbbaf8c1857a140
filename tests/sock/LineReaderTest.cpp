#include "sock/LineReader.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::string> Drain(LineReader& r)
{
    std::vector<std::string> lines;
    std::string line;
    while (r.Next(line))
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(LineReader, LinesAssembleTheSameWhetherFedWholeOrByteByByte)
{
    const std::string text = "one\r\ntwo\n\r\nbare\rcr\r\nlast";
    const std::vector<std::string> expected = {"one", "two", "", "bare\rcr"};
    LineReader whole;
    whole.Feed(text);
    EXPECT_EQ(Drain(whole), expected);
    LineReader bytes;
    std::vector<std::string> got;
    for (char c : text) {
        bytes.Feed(&c, 1);
        for (auto& l : Drain(bytes))
            got.push_back(l);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(bytes.TakeRest(), "last");
    EXPECT_EQ(bytes.Pending(), 0u);
}

TEST(LineReader, ALineWithNoEndIsHandedOutInPiecesOfTheCap)
{
    LineReader r(8);
    r.Feed(std::string(20, 'x') + "yz\r\n");
    EXPECT_EQ(Drain(r), (std::vector<std::string>{"xxxxxxxx", "xxxxxxxx", "xxxxyz"}));
    r.Feed(std::string(8, 'a'));
    EXPECT_TRUE(Drain(r).empty()) << "at the cap, not past it: still waiting for the end";
    r.Feed("b");
    EXPECT_EQ(Drain(r), std::vector<std::string>{"aaaaaaaa"});
    EXPECT_LE(r.Pending(), 8u);
}
