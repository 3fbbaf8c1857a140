#include "framework/LineReader.h"
#include "framework/Lines.h"

#include <gtest/gtest.h>

#include <sstream>
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

TEST(LineReader, LinesAssembleTheSameFedWholeOrByteByByteAndALineWithNoEndComesInPiecesOfTheCap)
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

    // A line with no end is handed out in pieces of the cap.
    LineReader r(8);
    r.Feed(std::string(20, 'x') + "yz\r\n");
    EXPECT_EQ(Drain(r), (std::vector<std::string>{"xxxxxxxx", "xxxxxxxx", "xxxxyz"}));
    r.Feed(std::string(8, 'a'));
    EXPECT_TRUE(Drain(r).empty()) << "at the cap, not past it: still waiting for the end";
    r.Feed("b");
    EXPECT_EQ(Drain(r), std::vector<std::string>{"aaaaaaaa"});
    EXPECT_LE(r.Pending(), 8u);
}

TEST(SplitLines, LfEndsALineAndOnlyTheCrBeforeItIsDropped)
{
    using V = std::vector<std::string>;
    struct Case {
        const char* text;
        V ifNotEmpty, always;
    };
    const Case cases[] = {
        {"", {}, {""}},
        {"a", {"a"}, {"a"}},
        {"a\n", {"a"}, {"a", ""}},
        {"a\r\nb", {"a", "b"}, {"a", "b"}},
        {"\n\n", {"", ""}, {"", "", ""}},
        {"a\rb\r\r\n", {"a\rb\r"}, {"a\rb\r", ""}},
        {"tail\r", {"tail\r"}, {"tail\r"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitLines(c.text, LastLine::IfNotEmpty), c.ifNotEmpty) << c.text;
        EXPECT_EQ(SplitLines(c.text, LastLine::Always), c.always) << c.text;
        std::istringstream stream(c.text);
        V read;
        for (std::string line; ReadLine(stream, line);)
            read.push_back(line);
        EXPECT_EQ(read, c.ifNotEmpty) << "from a stream: " << c.text;
    }
    std::u16string_view wide = u"x\r\ny";
    std::vector<std::u16string> got;
    ForEachLine(wide, LastLine::Always, [&got](std::u16string_view l) { got.emplace_back(l); });
    EXPECT_EQ(got, (std::vector<std::u16string>{u"x", u"y"}));
}
