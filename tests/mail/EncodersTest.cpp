#include "mail/MimeEncoders.h"
#include "support/MimeDecoders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace testsupport;

TEST(HeaderWords, PlainAsciiStaysAndEightBitTextBecomesOneQWord)
{
    EXPECT_EQ(EncodeHeaderWord("Plain Name"), "Plain Name");
    EXPECT_EQ(EncodeHeaderWord("Zo\xe9 A=B?_c"), "=?ISO-8859-1?Q?Zo=E9_A=3DB=3F=5Fc?=");
    EXPECT_EQ(EncodeHeaderWord("\x7f\x01"), "=?ISO-8859-1?Q?=7F=01?=");
    EXPECT_EQ(EncodeHeaderLine("Subject: Caf\xe9"), "Subject: =?ISO-8859-1?Q?Caf=E9?=  ");
    EXPECT_EQ(EncodeHeaderLine("Subject: plain"), "Subject: plain  ");
    EXPECT_EQ(EncodeHeaderLine("X-No-Colon-Blank:x"), "X-No-Colon-Blank:x");
    EXPECT_EQ(EncodeHeaderLine("Subject: a\xe9\r\nBcc: x"), "Subject: =?ISO-8859-1?Q?a=E9=0D=0ABcc:_x?=  ");
}

TEST(QuotedPrintable, BlanksAndLineEndsAreEscapedAndLinesStayWithinSeventySixCharacters)
{
    EXPECT_FALSE(NeedsQuotedPrintable("plain text\r\nmore\n"));
    EXPECT_TRUE(NeedsQuotedPrintable("tab\there"));
    EXPECT_TRUE(NeedsQuotedPrintable("caf\xe9"));
    QuotedPrintableEncoder qp;
    std::string out;
    qp.Encode("a b=\r\n", 6, out);
    EXPECT_EQ(out, "a=20b=3D=0D=0A");
    out.clear();
    qp.Reset();
    const std::string long_(200, 'x');
    qp.Encode(long_.data(), 100, out); // the column runs on across blocks
    qp.Encode(long_.data() + 100, 100, out);
    size_t at = 0, next;
    while ((next = out.find("\r\n", at)) != std::string::npos) {
        EXPECT_LE(next - at, 74u);
        at = next + 2;
    }
    EXPECT_EQ(DecodeQuotedPrintable(out), long_);
}

TEST(Base64AndUuencode, KnownVectorsAndLineSizes)
{
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
                                {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        std::string out;
        EncodeBase64(v[0], std::strlen(v[0]), out);
        EXPECT_EQ(out, v[1]);
    }
    std::string line;
    const std::string bytes57(57, '\xff');
    EncodeBase64(bytes57.data(), 57, line);
    EXPECT_EQ(line.size(), 76u);

    std::string uu;
    const std::string b45(45, 'a'), b46(46, 'a');
    EncodeUuencode(b45.data(), 45, uu);
    EXPECT_EQ(uu[0], 'M');
    EXPECT_EQ(uu.size(), 1u + 60 + 2);
    uu.clear();
    EncodeUuencode(b46.data(), 46, uu);
    EXPECT_EQ(uu.substr(63, 1), "!");
    EXPECT_EQ(DecodeUuencode(uu), b46);
}

TEST(Encoders, EveryByteValueAndRandomBlocksDecodeBackToTheInput)
{
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string input(size_t(random() % 600), '\0');
        for (char& c : input)
            c = char(round == 0 ? 0 : random());
        if (round == 1)
            for (size_t i = 0; i < input.size(); ++i)
                input[i] = char(i);
        std::string b64, qp, uu;
        EncodeBase64(input.data(), input.size(), b64);
        QuotedPrintableEncoder q;
        q.Encode(input.data(), input.size(), qp);
        EncodeUuencode(input.data(), input.size(), uu);
        EXPECT_EQ(DecodeBase64(b64), input);
        EXPECT_EQ(DecodeQuotedPrintable(qp), input);
        EXPECT_EQ(DecodeUuencode(uu), input);
    }
}

TEST(DotStuffing, ALineBeginningWithADotGetsOneMoreAcrossBlocks)
{
    DotStuffer s;
    EXPECT_EQ(s.Stuff(".first\r\nsecond.\r\n"), "..first\r\nsecond.\r\n");
    EXPECT_EQ(s.Stuff("."), "..") << "the line began in the block before";
    EXPECT_EQ(s.Stuff("\r\n.\r\nx.y\r"), "\r\n..\r\nx.y\r");
    EXPECT_EQ(s.Stuff("\n..two"), "\n...two");
}
