#include "framework/SysUtils.h"

#include <gtest/gtest.h>

TEST(StrToInt, AcceptsBlanksSignAndDigitsOnly)
{
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("   42"), 42);
    EXPECT_EQ(StrToInt("+5"), 5);
    EXPECT_EQ(StrToInt("  -17"), -17);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
}

TEST(StrToInt, RejectsEverythingElseWithTheExactMessage)
{
    const char* bad[] = {"", " ", "+", "-", "12 ", "1a", "a1", "1.5", "+-1", "- 1", "0x10",
                         "$10", "\t5", "2147483648", "-2147483649", "99999999999999999999"};
    for (const char* text : bad) {
        try {
            StrToInt(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, std::string("'") + text + "' is not a valid integer value");
        }
    }
}
