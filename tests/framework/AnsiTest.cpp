#include "framework/Ansi.h"
#include "framework/RtfWriter.h"
#include "support/Raised.h"

#include <QTextCursor>
#include <QTextDocument>

#include <gtest/gtest.h>

TEST(Ansi, EveryByteRoundTripsThroughAWidgetTheSignsAreTheCodePagesOwnAndOtherTextIsRefused)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += char(b);
    const QString shown = FromAnsi(all);
    ASSERT_EQ(shown.size(), 256);
    EXPECT_EQ(ToAnsi(shown), all);
    EXPECT_EQ(shown[0x80], QChar(0x20AC)); // euro sign
    EXPECT_EQ(shown[0x9F], QChar(0x0178)); // Y with diaeresis
    EXPECT_EQ(shown[0xE9], QChar(0x00E9));
    EXPECT_EQ(ToAnsi(QString::fromUtf8("pass\xE2\x82\xAC")), "pass\x80");

    // Text outside the code page is refused, never turned into question marks.
    const std::string refused = testsupport::Raised<EAnsiError>(
        [] { ToAnsi(QString::fromUtf8("\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"), "The entry name"); });
    EXPECT_NE(refused.find("The entry name holds the character U+041C"), std::string::npos) << refused;
    EXPECT_THROW(ToAnsi(QString::fromUtf8("\xF0\x9F\x98\x80")), EAnsiError);
}

TEST(Ansi, ScreenAndLogShowTheSameCharactersForControlAndHighBytes)
{
    QTextDocument doc;
    QTextCursor cursor(&doc);
    cursor.insertText(VisibleText(FromAnsi(std::string("a\rb\0c\td\x80\x81", 9))));
    EXPECT_EQ(doc.blockCount(), 1) << "a bare CR starts no paragraph";
    EXPECT_EQ(doc.toPlainText(), QString::fromUtf8("a\xE2\x90\x8D" "b\xE2\x90\x80" "c\td\xE2\x82\xAC\xEF\xBF\xBD"));
    const std::string rtf = RtfFromDocument(doc);
    EXPECT_NE(rtf.find("a\\u9229?b\\u9216?c\\tab d\\u8364?\\u-3?"), std::string::npos) << rtf;
}

TEST(Ansi, SystemTextKeepsItsCharactersAndAn8BitChannelGetsWhatTheCodePageHas)
{
    EXPECT_EQ(FromSystem("/opt/bin-\xC3\xBC"), QString::fromUtf8("/opt/bin-\xC3\xBC"));
    EXPECT_EQ(AnsiFromSystem(QString::fromUtf8("/opt/bin-\xC3\xBC \xE2\x82\xAC")), "/opt/bin-\xFC \x80");
    EXPECT_EQ(AnsiFromSystem(QString::fromUtf8("\xD0\x98\xD0\xB2 \xF0\x9F\x98\x80.")), "?? ?.") << "one sign a character";
}
