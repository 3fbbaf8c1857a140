#include "framework/SysUtils.h"
#include "support/Raised.h"

#include <QDate>

#include <gtest/gtest.h>

#include <cmath>

TEST(StrToInt, AcceptsBlanksSignAndDigitsOnlyAndRefusesTheRestWithTheExactMessage)
{
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("   42"), 42);
    EXPECT_EQ(StrToInt("+5"), 5);
    EXPECT_EQ(StrToInt("  -17"), -17);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    const char* bad[] = {"", " ", "+", "-", "12 ", "1a", "a1", "1.5", "+-1", "- 1", "0x10",
                         "$10", "\t5", "2147483648", "-2147483649", "99999999999999999999"};
    for (const char* text : bad)
        EXPECT_EQ(testsupport::Raised<EConvertError>([&] { StrToInt(text); }),
                  std::string("'") + text + "' is not a valid integer value");
}

// The locale's own words, in whatever characters they are written; only the
// time-zone field leaves the time format (the value has no zone).
TEST(DateTimeToStr, ShowsTheLocalesShortDateAndLongTimeWithoutTheZone)
{
    const double at = QDate(1899, 12, 30).daysTo(QDate(2025, 1, 7)) + (15 * 3600 + 20 * 60) / 86400.0;
    EXPECT_EQ(DateTimeToStr(at, QLocale("bg_BG")), QString::fromUtf8("7.01.25 \xD0\xB3. 15:20:00 \xD1\x87."));
    EXPECT_EQ(DateTimeToStr(at, QLocale("hr_HR")), "07. 01. 2025. 15:20:00");
    EXPECT_EQ(DateTimeToStr(at, QLocale("nds_DE")).right(14), "Klock 15.20:00") << "a quoted word stays";
    EXPECT_EQ(DateTimeToStr(at, QLocale("en_US")), "1/7/25 3:20:00 PM");
    EXPECT_EQ(DateTimeToStr(std::floor(at), QLocale("en_US")), "1/7/25") << "midnight shows the date alone";
}
