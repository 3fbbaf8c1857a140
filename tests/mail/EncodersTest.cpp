#include "mail/MimeEncoders.h"
#include "support/MimeDecoders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>
#include <random>

using namespace testsupport;

namespace {

// The physical lines of a folded header.
std::vector<std::string> FoldedLines(const std::string& folded)
{
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = folded.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(folded.substr(at, end - at));
    lines.push_back(folded.substr(at));
    return lines;
}

// Folding only ever adds CR LF before a blank; taking them out gives the line back.
std::string Unfolded(std::string folded)
{
    for (size_t at; (at = folded.find("\r\n")) != std::string::npos;)
        folded.erase(at, 2);
    return folded;
}

void ExpectFoldedWell(const std::string& folded)
{
    const std::vector<std::string> lines = FoldedLines(folded);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_LE(lines[i].size(), 76u) << lines[i];
        EXPECT_NE(lines[i].back(), ' ') << "no blank ends a line: " << lines[i];
        if (i > 0) {
            EXPECT_EQ(lines[i][0], ' ') << "a continuation starts with a blank";
        }
        for (size_t at = 0; (at = lines[i].find("=?", at)) != std::string::npos;) {
            const size_t end = lines[i].find("?=", at + 2 + 15);
            ASSERT_NE(end, std::string::npos) << lines[i];
            EXPECT_LE(end + 2 - at, 75u) << "an encoded word is at most 75 characters";
            EXPECT_EQ(lines[i].compare(at, 17, "=?windows-1252?Q?"), 0) << lines[i];
            at = end + 2;
        }
    }
}

} // namespace

TEST(HeaderWords, EightBitTextIsLabelledWindows1252AndLongValuesFoldWithNothingCut)
{
    EXPECT_EQ(EncodeHeaderWord("Plain Name"), "Plain Name");
    EXPECT_EQ(EncodeHeaderWord("Zo\xe9 A=B?_c"), "=?windows-1252?Q?Zo=E9_A=3DB=3F=5Fc?=");
    EXPECT_EQ(EncodeHeaderWord("\x7f\x01"), "=?windows-1252?Q?=7F=01?=");
    EXPECT_EQ(EncodeHeaderLine("Subject: Caf\xe9"), "Subject: =?windows-1252?Q?Caf=E9?=");
    EXPECT_EQ(EncodeHeaderLine("Subject:  plain  "), "Subject: plain") << "no blanks at the end";
    EXPECT_EQ(EncodeHeaderLine("X-No-Colon-Blank:x"), "X-No-Colon-Blank:x");
    EXPECT_EQ(EncodeHeaderLine("Subject: a\xe9\r\nBcc: x"), "Subject: =?windows-1252?Q?a=E9__Bcc=3A_x?=")
        << "a typed line break starts no header";
    EXPECT_EQ(EncodeHeaderLine("Subject: looks =?like?= a word"), "Subject: =?windows-1252?Q?looks_=3D=3Flike=3F=3D_a_word?=");

    // 208 characters of German with dashes and euros: many words, many lines.
    std::string german;
    while (german.size() < 200)
        german += "Gr\xfc\xdf" "e \x96 Stra\xdf" "e 5 \x80 ";
    german += "Ende";
    const std::string folded = EncodeHeaderLine("Subject: " + german);
    ExpectFoldedWell(folded);
    EXPECT_GT(FoldedLines(folded).size(), 3u);

    std::string ascii;
    for (int i = 0; ascii.size() < 300; ++i)
        ascii += "word" + std::to_string(i) + (i % 7 ? " " : "  ");
    ascii += "end";
    const std::string asciiFolded = EncodeHeaderLine("Subject: " + ascii);
    ExpectFoldedWell(asciiFolded);
    EXPECT_EQ(Unfolded(asciiFolded), "Subject: " + ascii) << "folded at blanks, never cut";
    EXPECT_EQ(asciiFolded.find("=?"), std::string::npos);
    const std::string oneWord(300, 'x');
    ExpectFoldedWell(EncodeHeaderLine("Subject: " + oneWord)) ; // no blank to fold at: encoded words
}

TEST(Mailboxes, DisplayNamesAreQuotedOrEncodedAndListsHaveOneFieldWithoutEmptyItems)
{
    EXPECT_EQ(AddressHeader("From", {"s@x.test|Smith, John"}), "From: \"Smith, John\" <s@x.test>");
    EXPECT_EQ(AddressHeader("From", {"s@x.test|Team: Sales"}), "From: \"Team: Sales\" <s@x.test>");
    EXPECT_EQ(AddressHeader("From", {"s@x.test|Say \"hi\" \\o/"}), "From: \"Say \\\"hi\\\" \\\\o/\" <s@x.test>");
    EXPECT_EQ(AddressHeader("From", {"s@x.test|Ann  Example "}), "From: Ann Example <s@x.test>");
    EXPECT_EQ(AddressHeader("From", {"s@x.test|J\xf6rg"}), "From: =?windows-1252?Q?J=F6rg?= <s@x.test>");
    EXPECT_EQ(AddressHeader("From", {"s@x.test|"}), "From: s@x.test");
    EXPECT_EQ(AddressHeader("To", {"a@x.test", "", " | nobody", "b@x.test|B"}), "To: a@x.test, B <b@x.test>");
    std::vector<std::string> many;
    for (int i = 0; i < 12; ++i)
        many.push_back("person" + std::to_string(i) + "@example.test|Fran\xe7ois Number " + std::to_string(i));
    ExpectFoldedWell(AddressHeader("To", many));

    EXPECT_EQ(EncodeHeaderLine("Reply-To: J\xf6rg M\xfcller <joerg@x.test>"),
              "Reply-To: =?windows-1252?Q?J=F6rg_M=FCller?= <joerg@x.test>");
    EXPECT_EQ(EncodeHeaderLine("Reply-To: " + MailboxText("Smith, John", "j@x.test")),
              "Reply-To: \"Smith, John\" <j@x.test>");
    std::string name, address;
    EXPECT_TRUE(ParseMailbox(" J\xf6rg M\xfcller <joerg@x.test> ", name, address));
    EXPECT_EQ(name, "J\xf6rg M\xfcller");
    EXPECT_EQ(address, "joerg@x.test");
    EXPECT_TRUE(ParseMailbox("\"Smith, \\\"J\\\"\" <j@x.test>", name, address));
    EXPECT_EQ(name, "Smith, \"J\"");
    EXPECT_TRUE(ParseMailbox("a @x.test", name, address));
    EXPECT_EQ(address, "a@x.test");
    EXPECT_TRUE(name.empty());
    EXPECT_FALSE(ParseMailbox("J\xf6rg M\xfcller", name, address));
    EXPECT_FALSE(ParseMailbox("Ann <ann@x.test", name, address));
    EXPECT_EQ(SplitMailboxList("\"a, b\" <a@x>, c@x"), (std::vector<std::string>{"\"a, b\" <a@x>", " c@x"}));

    EXPECT_EQ(MimeParameter("filename", "a \"b\".txt"), "filename=\"a \\\"b\\\".txt\"");
    EXPECT_EQ(MimeParameter("filename", "\xdc" "bersicht 1.txt"), "filename*=windows-1252''%DCbersicht%201.txt");
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

    // A text part: CR LF stays a line break even split between blocks; a
    // lone CR or LF stays escaped, and a CR left at the end comes out.
    qp.Reset(true);
    out.clear();
    qp.Encode("a\r", 2, out);
    qp.Encode("\nb\rc\nd\r\r\n", 9, out);
    qp.Encode("e\r", 2, out);
    qp.Finish(out);
    EXPECT_EQ(out, "a\r\nb=0Dc=0Ad=0D\r\ne=0D");
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
    uu.clear();
    EncodeUuencode("\0\0\0", 3, uu);
    EXPECT_EQ(uu, "#````\r\n") << "zero as a back-quote: no line ends in blanks";
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
