#include "mail/HeaderText.h"

#include <gtest/gtest.h>

namespace {

QString Read(const std::string& value)
{
    return DecodeHeaderText(value);
}

} // namespace

TEST(HeaderText, EncodedWordsOfEachKindReadInTheirCharset)
{
    EXPECT_EQ(Read("=?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?="), u"Grüße aus Köln");
    EXPECT_EQ(Read("=?utf-8?b?0J/RgNC40LLQtdGCLCDQvNC40YA=?="), u"Привет, мир");
    EXPECT_EQ(Read("=?ISO-8859-2?Q?=A3=F3d=BC?="), u"Łódź");
    EXPECT_EQ(Read("=?iso-8859-1?B?R3L832U=?="), u"Grüße");
    EXPECT_EQ(Read("=?windows-1251?B?zOjw?="), u"Мир");
    EXPECT_EQ(Read("=?windows-1252?q?=80_5?="), u"€ 5");
    EXPECT_EQ(Read("=?UTF-8*de?Q?Gr=C3=BC=C3=9Fe?="), u"Grüße") << "a language after the charset";
    EXPECT_EQ(Read("Re: =?UTF-8?Q?K=C3=B6ln?= (Fwd)"), u"Re: Köln (Fwd)") << "text around a word keeps its spaces";
}

TEST(HeaderText, AdjacentWordsJoinAcrossWhiteSpaceAndFolds)
{
    EXPECT_EQ(Read("=?UTF-8?Q?Gr=C3=BC?= =?UTF-8?Q?=C3=9Fe?="), u"Grüße");
    EXPECT_EQ(Read("=?UTF-8?Q?a?=\t  =?ISO-8859-1?Q?=FC?="), u"aü") << "any white space, any charsets";
    EXPECT_EQ(Read("=?UTF-8?Q?a?=\r\n =?UTF-8?Q?b?="), u"ab") << "a fold left in";
    EXPECT_EQ(Read("=?UTF-8?Q?=C3?= =?UTF-8?Q?=BC?="), u"ü") << "one character split between two words";
    EXPECT_EQ(Read("=?UTF-8?Q?a?= b =?UTF-8?Q?c?="), u"a b c") << "text between words stays";
}

TEST(HeaderText, BadEncodingsStayReadable)
{
    EXPECT_EQ(Read("=?UTF-8?B?%%%?="), u"=?UTF-8?B?%%%?=") << "not base64";
    EXPECT_EQ(Read("=?UTF-8?B?QQ?="), u"A") << "missing padding is forgiven";
    EXPECT_EQ(Read("=?UTF-8?B?Q?="), u"=?UTF-8?B?Q?=") << "six bits cannot end base64";
    EXPECT_EQ(Read("=?UTF-8?X?abc?="), u"=?UTF-8?X?abc?=") << "unknown encoding";
    EXPECT_EQ(Read("=?UTF-8?Q?caf=C3=A9"), u"=?UTF-8?Q?caf=C3=A9") << "unterminated";
    EXPECT_EQ(Read("=?UTF-8?Q?a b?="), u"=?UTF-8?Q?a b?=") << "a space cannot be inside a word";
    EXPECT_EQ(Read("=?UTF-8?Q?100=ZZ?="), u"100=ZZ") << "a stray = is kept";
    EXPECT_EQ(Read("=?x-no-such-set?Q?caf=C3=A9?="), u"café") << "an unknown label: the bytes still read";
    EXPECT_EQ(Read("=??Q?a?="), u"=??Q?a?=");
    EXPECT_EQ(Read("=?UTF-8?Q?=FF?="), u"\uFFFD") << "invalid bytes of a known charset";
}

TEST(HeaderText, UnlabelledBytesAreUtf8WhenValidElseTheCodePage)
{
    EXPECT_EQ(Read("Bob <bob@example.test>"), u"Bob <bob@example.test>");
    EXPECT_EQ(Read("Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x93\xAC"), u"Grüße 📬");
    EXPECT_EQ(Read("Gr\xFC\xDF" "e \x80"), u"Grüße €");
    EXPECT_EQ(Read("\xC0\xAF"), u"À¯") << "an overlong form is not UTF-8";
    EXPECT_EQ(Read("\xC3\xBC =?UTF-8?Q?=C3=9F?="), u"ü ß");
    EXPECT_FALSE(IsUtf8("\xED\xA0\x80", 3)) << "a surrogate";
    EXPECT_FALSE(IsUtf8("\xF4\x90\x80\x80", 4)) << "above U+10FFFF";
    EXPECT_FALSE(IsUtf8("\xE2\x82", 2)) << "cut short";
    EXPECT_TRUE(IsUtf8("\xE2\x82\xAC", 3));
}

TEST(HeaderText, ControlCharactersAreKeptForTheCallerToShow)
{
    EXPECT_EQ(Read(std::string("a\x01" "b\0c", 5)), QString::fromUtf16(u"a\x01" "b\0c", 5));
    EXPECT_EQ(Read("=?UTF-8?Q?a=07b=0D=0A?="), u"a\x07" "b\r\n");
}
