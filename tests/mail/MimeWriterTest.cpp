#include "ParsedMessage.h"
#include "mail/MimeWriter.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string B = MimeWriter::Boundary;

} // namespace

TEST(MailWriter, LaysOutHeadersTextPartAndAttachmentLineByLine)
{
    MailMessage m;
    m.fromName = "Ann";
    m.fromAddress = "ann@x.test";
    m.to = {"bob@x.test|Bob"};
    m.cc = {"cc@x.test"};
    m.subject = "Hi";
    m.text = {"line one", ".line two"};
    m.attachments = {"/data/f.bin"};
    EXPECT_EQ(ComposeMessage(m, {{"/data/f.bin", "abc"}}),
              "From: Ann <ann@x.test>\r\nTo: Bob <bob@x.test>\r\ncc: cc@x.test\r\nSubject: Hi  \r\n"
              "Mime-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + B + "\"\r\n\r\n"
              "--" + B + "\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n\r\n"
              "line one\r\n.line two\r\n\r\n"
              "--" + B + "\r\nContent-Type: application/octet-stream; name=\"f.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"f.bin\"\r\n\r\n"
              "YWJj\r\n--" + B + "--\r\n\r\n")
        << "dots stay as written: stuffing is the transport's";

    MailMessage plain;
    plain.fromAddress = "s@x.test";
    plain.to = {"a@x.test"};
    plain.subject = "Caf\xe9";
    plain.headers = {"Reply-To: r@x.test"};
    plain.text = {"caf\xe9"};
    EXPECT_EQ(ComposeMessage(plain), "From:  <s@x.test>\r\nTo: a@x.test;\r\nSubject: =?ISO-8859-1?Q?Caf=E9?=  \r\n"
                                     "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
                                     "Content-Transfer-Encoding: quoted-printable\r\nReply-To: r@x.test  \r\n\r\n"
                                     "caf=E9=0D=0A\r\n");
}

TEST(MailWriter, PythonReadsEveryEncodingBackByteForByte)
{
    QTemporaryDir dir;
    const auto file = [&dir](const std::string& name, const std::string& bytes) { return WriteFile(dir, name, bytes); };
    std::string everyByte;
    for (int round = 0; round < 40; ++round)
        for (int b = 0; b < 256; ++b)
            everyByte += char(b);
    const std::string dotted = ".first line\r\n.\r\nmiddle\r\n..two\r\nlast\r\n";
    const std::string qpBytes = "Gr\xfc\xdf" "e\r\n.start\r\n" + std::string(300, 'q');
    const std::string binary = file("every-byte.bin", everyByte), text = file("dotted.txt", dotted);
    const std::string uu = file("picture.gif", everyByte.substr(0, 1000)), qp = file("notes.txt", qpBytes);
    const std::string chosenPlain = file("chosen.txt", "plain\r\n"), chosenBinary = file("chosen.bin", "\xff");
    TAttachmentDescriptor plainPart{"", 3, "text/plain", "", "", text}, uuPart{"", 4, "", "", "", uu},
        qpPart{"", 2, "text/plain", "inline", "Notes", qp}, autoPlain{"", 0, "", "", "", chosenPlain},
        autoBinary{"", 0, "", "", "", chosenBinary};

    MailMessage m;
    m.fromName = "Zo\xe9 Sender";
    m.fromAddress = "sender@example.test";
    m.to = {"first@example.test|Fran\xe7ois", "second@example.test"};
    m.cc = {"copy@example.test|Copy Person"};
    m.subject = "Caf\xe9 menu";
    m.text = {"Hello,", ".a line with a dot", ".", "caf\xe9 for two"};
    m.headers = {"Reply-To: answers@example.test"};
    m.attachments = {binary, file("empty.dat", ""), text, uu, qp, "/nonexistent/missing.bin", chosenPlain,
                     chosenBinary};
    m.descriptors = {nullptr, nullptr, &plainPart, &uuPart, &qpPart, nullptr, &autoPlain, &autoBinary};
    std::string message;
    std::vector<std::string> unreadable;
    MimeWriter writer([&](std::string_view bytes) { message.append(bytes); });
    writer.OnInfo = [&](SendMailInfo info, const std::string& text) {
        if (info == Info_AttachmentError)
            unreadable.push_back(text);
    };
    writer.Write(m);
    EXPECT_EQ(unreadable, std::vector<std::string>{"/nonexistent/missing.bin"});
    EXPECT_EQ(autoPlain.encoding, 3) << "the choice is kept in the descriptor";
    EXPECT_EQ(autoBinary.encoding, 1);

    const QJsonObject parsed = ParseMessage(WriteFile(dir, "message.eml", message));
    ASSERT_FALSE(parsed.isEmpty()) << "Python could not read the message";
    EXPECT_EQ(parsed["defects"].toInt(), 0);
    EXPECT_EQ(parsed["from"].toString(), QString::fromUtf8("Zo\xc3\xa9 Sender <sender@example.test>"));
    EXPECT_EQ(parsed["subject"].toString(), QString::fromUtf8("Caf\xc3\xa9 menu"));
    ASSERT_EQ(parsed["to"].toArray().size(), 2);
    EXPECT_EQ(parsed["to"].toArray()[0].toString(), QString::fromUtf8("Fran\xc3\xa7ois <first@example.test>"));
    EXPECT_EQ(parsed["cc"].toArray()[0].toString(), "Copy Person <copy@example.test>");
    EXPECT_EQ(parsed["reply_to"].toString(), "answers@example.test");
    const QJsonArray parts = parsed["parts"].toArray();
    ASSERT_EQ(parts.size(), 8);
    EXPECT_EQ(parts[0].toObject()["text"].toString(),
              QString::fromLatin1("Hello,\n.a line with a dot\n.\ncaf\xe9 for two\n"));
    // A plain-text part travels as lines: the same lines come back.
    EXPECT_EQ(parts[3].toObject()["text"].toString(), ".first line\n.\nmiddle\n..two\nlast");
    const struct {
        const char* type;
        const char* disposition;
        const char* filename;
        std::string bytes;
    } expected[] = {
        {"application/octet-stream", "attachment", "every-byte.bin", everyByte},
        {"application/octet-stream", "attachment", "empty.dat", ""},
        {"text/plain", "attachment", "dotted.txt", dotted},
        {"application/octet-stream", "attachment", "picture.uue", everyByte.substr(0, 1000)},
        {"text/plain", "inline", "notes.txt", qpBytes},
        {"application/octet-stream", "attachment", "chosen.txt", "plain"}, // as a line: the CR LF is the boundary's
        {"application/octet-stream", "attachment", "chosen.bin", "\xff"},
    };
    for (int i = 0; i < 7; ++i) {
        const QJsonObject p = parts[i + 1].toObject();
        EXPECT_EQ(p["type"].toString().toStdString(), expected[i].type) << i;
        EXPECT_EQ(p["disposition"].toString().toStdString(), expected[i].disposition) << i;
        EXPECT_EQ(p["filename"].toString().toStdString(), expected[i].filename) << i;
        if (i != 2) {
            EXPECT_EQ(p["sha256"].toString().toStdString(), Sha256(expected[i].bytes)) << expected[i].filename;
        }
    }
}

TEST(MailWriter, FeedDataComesFirstAndAStopLeavesTheMessageUnfinished)
{
    MailMessage m;
    m.to = {"a@x.test"};
    m.attachments = {"big.bin"};
    std::string message;
    int feeds = 0, progress = 0;
    MimeWriter writer([&](std::string_view bytes) { message.append(bytes); });
    writer.OnFeedData = [&](std::string& data) {
        if (feeds++ == 0)
            data = "fed";
    };
    writer.OnInfo = [&](SendMailInfo info, const std::string&) { progress += info == Info_AttachmentProgress; };
    writer.Stopped = [&] { return progress >= 40; };
    writer.Open = [](const std::string&) { return std::make_unique<std::istringstream>(std::string(1 << 20, 'b')); };
    writer.Write(m);
    EXPECT_EQ(feeds, 2) << "asked until it gave nothing";
    EXPECT_NE(message.find("\r\n\r\nfed--" + B + "\r\n"), std::string::npos) << "no text part: the data stands alone";
    EXPECT_LT(message.size(), 4000u) << "stopped after the block it was in";
    EXPECT_EQ(message.find("--" + B + "--"), std::string::npos) << "no closing boundary";
}
