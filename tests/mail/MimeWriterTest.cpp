#include "ParsedMessage.h"
#include "framework/Ansi.h"
#include "mail/MimeWriter.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

std::string BoundaryOf(const std::string& message)
{
    const size_t at = message.find("boundary=\"");
    return at == std::string::npos ? std::string() : message.substr(at + 10, message.find('"', at + 10) - at - 10);
}

QString Utf8(const char* text)
{
    return QString::fromUtf8(text);
}

QJsonArray Mailbox(const QString& name, const QString& address)
{
    return QJsonArray{name, address};
}

// Python read the message without a single defect, in lines a server takes.
void ExpectClean(const QJsonObject& parsed)
{
    ASSERT_FALSE(parsed.isEmpty()) << "Python could not read the message";
    EXPECT_EQ(parsed["defects"].toArray(), QJsonArray()) << QJsonDocument(parsed["defects"].toArray()).toJson().toStdString();
    EXPECT_LE(parsed["longest_header_line"].toInt(), 78);
    EXPECT_EQ(parsed["blank_ended_lines"].toInt(), 0);
    EXPECT_FALSE(parsed["eight_bit"].toBool()) << "every 8-bit byte travels encoded";
    EXPECT_LE(parsed["longest_line"].toInt(), 998);
}

} // namespace

TEST(MailWriter, LaysOutHeadersTextPartAndAttachmentLineByLine)
{
    MailMessage m;
    m.fromName = "Ann";
    m.fromAddress = "ann@x.test";
    m.to = {"bob@x.test|Bob", "", "carl@x.test"};
    m.cc = {"cc@x.test"};
    m.subject = "Hi";
    m.text = {"line one", ".line two"};
    m.attachments = {"/data/f.bin"};
    const std::string message = ComposeMessage(m, {{"/data/f.bin", "abc"}});
    const std::string B = BoundaryOf(message);
    ASSERT_EQ(B.rfind("=_", 0), 0u) << "a boundary no base64 or quoted-printable line can hold";
    EXPECT_EQ(message,
              "From: Ann <ann@x.test>\r\nTo: Bob <bob@x.test>, carl@x.test\r\ncc: cc@x.test\r\nSubject: Hi\r\n"
              "Mime-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n boundary=\"" + B + "\"\r\n\r\n"
              "--" + B + "\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n\r\n"
              "line one\r\n.line two\r\n\r\n"
              "--" + B + "\r\nContent-Type: application/octet-stream; name=\"f.bin\"\r\n"
              "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"f.bin\"\r\n\r\n"
              "YWJj\r\n--" + B + "--\r\n\r\n")
        << "dots stay as written: stuffing is the transport's";
    EXPECT_EQ(BoundaryOf(ComposeMessage(m, {{"/data/f.bin", "abc"}})), B) << "the same message, the same boundary";
    m.subject = "Hi again";
    EXPECT_NE(BoundaryOf(ComposeMessage(m, {{"/data/f.bin", "abc"}})), B);

    MailMessage plain;
    plain.fromAddress = "s@x.test";
    plain.to = {"a@x.test"};
    plain.subject = "Caf\xe9";
    plain.headers = {"Reply-To: r@x.test"};
    plain.text = {"caf\xe9"};
    EXPECT_EQ(ComposeMessage(plain), "From: s@x.test\r\nTo: a@x.test\r\nSubject: =?windows-1252?Q?Caf=E9?=\r\n"
                                     "Mime-Version: 1.0\r\nContent-Type: text/plain; charset=\"windows-1252\"\r\n"
                                     "Content-Transfer-Encoding: quoted-printable\r\nReply-To: r@x.test\r\n\r\n"
                                     "caf=E9\r\n\r\n")
        << "a text body keeps its line breaks as line breaks";
}

TEST(MailWriter, PythonReadsEveryFieldAndEncodingBackAsWritten)
{
    QTemporaryDir dir;
    const auto file = [&dir](const std::string& name, const std::string& bytes) { return WriteFile(dir, name, bytes); };
    std::string everyByte;
    for (int round = 0; round < 40; ++round)
        for (int b = 0; b < 256; ++b)
            everyByte += char(b);
    const std::string dotted = ".first line\r\n.\r\nmiddle\r\n..two\r\nlast\r\n";
    const std::string qpBytes = "Gr\xfc\xdf" "e\r\n.start\r\n" + std::string(300, 'q');
    const std::string longLine = "start " + std::string(1200, 'l') + "\r\nshort\r\n", loneCr = "one\rtwo\r\n";
    const std::string binary = file("every-byte.bin", everyByte), text = file("dotted.txt", dotted);
    const std::string uu = file("picture.gif", everyByte.substr(0, 1000)), qp = file("notes.txt", qpBytes);
    const std::string chosenPlain = file("chosen.txt", "plain\r\n"), chosenBinary = file("chosen.bin", "\xff");
    const std::string wide = file("wide.txt", longLine), cr = file("cr.txt", loneCr);
    const std::string utf8Name = file("\xc3\x9c" "bersicht \"1\".txt", "x");
    TAttachmentDescriptor plainPart{"", 3, "text/plain", "", "", text}, uuPart{"", 4, "", "", "", uu},
        qpPart{"", 2, "text/plain", "inline", "Notizen f\xfcr \x80", qp}, autoPlain{"", 0, "", "", "", chosenPlain},
        autoBinary{"", 0, "", "", "", chosenBinary}, widePart{"", 3, "text/plain", "", "", wide},
        crPart{"", 0, "", "", "", cr};

    std::string subject;
    while (subject.size() < 200)
        subject += "Gr\xfc\xdf" "e \x96 Stra\xdf" "e 5 \x80 ";
    MailMessage m;
    m.fromName = "Smith, John";
    m.fromAddress = "sender@example.test";
    m.to = {"first@example.test|Fran\xe7ois", "", "second@example.test", "third@example.test|Team: Sales"};
    m.cc = {"copy@example.test|Copy Person", "copy2@example.test"};
    m.subject = subject;
    m.text = {"Hello,", ".a line with a dot", ".", "caf\xe9 for two \x96 \x80" "5", std::string(1500, 'p')};
    m.headers = {"Reply-To: J\xf6rg M\xfcller <joerg@example.test>", "Message-ID: <1.2@example.test>",
                 "Date: Wed, 09 Dec 2026 01:23:45 +0100"};
    m.attachments = {binary, file("empty.dat", ""), text, uu, qp, "/nonexistent/missing.bin", chosenPlain,
                     chosenBinary, wide, cr, utf8Name};
    m.descriptors = {nullptr, nullptr, &plainPart, &uuPart, &qpPart, nullptr, &autoPlain, &autoBinary,
                     &widePart, &crPart};
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
    EXPECT_EQ(crPart.encoding, 1) << "a CR of its own would not come back from a plain part";

    const QJsonObject parsed = ParseMessage(WriteFile(dir, "message.eml", message));
    ExpectClean(parsed);
    EXPECT_EQ(parsed["from"].toArray(), QJsonArray{Mailbox("Smith, John", "sender@example.test")});
    EXPECT_EQ(parsed["to_fields"].toInt(), 1);
    EXPECT_EQ(parsed["cc_fields"].toInt(), 1);
    EXPECT_EQ(parsed["to"].toArray(), (QJsonArray{Mailbox(Utf8("Fran\xc3\xa7ois"), "first@example.test"),
                                                  Mailbox("", "second@example.test"),
                                                  Mailbox("Team: Sales", "third@example.test")}));
    EXPECT_EQ(parsed["cc"].toArray(), (QJsonArray{Mailbox("Copy Person", "copy@example.test"),
                                                  Mailbox("", "copy2@example.test")}));
    EXPECT_EQ(parsed["reply_to"].toArray(),
              QJsonArray{Mailbox(Utf8("J\xc3\xb6rg M\xc3\xbcller"), "joerg@example.test")});
    EXPECT_EQ(parsed["subject"].toString(), FromAnsi(subject).trimmed()) << "the whole subject, by its charset";
    EXPECT_EQ(parsed["date_offset"].toInt(), 3600);
    EXPECT_EQ(parsed["message_id"].toString(), "<1.2@example.test>");

    const QJsonArray parts = parsed["parts"].toArray();
    ASSERT_EQ(parts.size(), 11);
    const QJsonObject body = parts[0].toObject();
    EXPECT_EQ(body["charset"].toString(), "windows-1252");
    EXPECT_EQ(body["encoding"].toString(), "quoted-printable") << "a line over 998 characters";
    EXPECT_EQ(body["text"].toString(), FromAnsi("Hello,\n.a line with a dot\n.\ncaf\xe9 for two \x96 \x80" "5\n" +
                                                  std::string(1500, 'p') + "\n"));
    // A plain-text part travels as lines: the same lines come back.
    EXPECT_EQ(parts[3].toObject()["encoding"].toString(), "");
    const struct {
        const char* type;
        const char* disposition;
        QString filename;
        std::string bytes;
    } expected[] = {
        {"application/octet-stream", "attachment", "every-byte.bin", everyByte},
        {"application/octet-stream", "attachment", "empty.dat", ""},
        {"text/plain", "attachment", "dotted.txt", dotted.substr(0, dotted.size() - 2)}, // the last CR LF is the boundary's
        {"application/octet-stream", "attachment", "picture.uue", everyByte.substr(0, 1000)},
        {"text/plain", "inline", "notes.txt", qpBytes},
        {"application/octet-stream", "attachment", "chosen.txt", "plain"},
        {"application/octet-stream", "attachment", "chosen.bin", "\xff"},
        {"text/plain", "attachment", "wide.txt", longLine},
        {"application/octet-stream", "attachment", "cr.txt", loneCr},
        // A file's name is the system's text, UTF-8, and labelled so.
        {"application/octet-stream", "attachment", Utf8("\xc3\x9c" "bersicht \"1\".txt"), "x"},
    };
    for (int i = 0; i < 10; ++i) {
        const QJsonObject p = parts[i + 1].toObject();
        EXPECT_EQ(p["type"].toString().toStdString(), expected[i].type) << i;
        EXPECT_EQ(p["disposition"].toString().toStdString(), expected[i].disposition) << i;
        EXPECT_EQ(p["filename"].toString(), expected[i].filename) << i;
        if (i == 3 && p["problem"].toString().isEmpty() && parsed["uudecoder"].toString().isEmpty()) {
            std::cout << "GNU uudecode is not installed (Debian package sharutils): the uuencoded part is not "
                         "checked with it\n";
            continue;
        }
        EXPECT_EQ(p["problem"].toString(), "") << "uudecode: " << p["problem"].toString().toStdString();
        EXPECT_EQ(p["sha256"].toString().toStdString(), Sha256(expected[i].bytes))
            << expected[i].filename.toStdString();
    }
    EXPECT_NE(message.find("\r\n`\r\nend\r\n"), std::string::npos) << "the zero-length line before end";
}

TEST(MailWriter, PlainTextStaysReadableAndAFileHoldingTheBoundaryGetsAnotherOne)
{
    QTemporaryDir dir;
    std::string subject;
    for (int i = 0; subject.size() < 300; ++i)
        subject += "word" + std::to_string(i) + " ";
    MailMessage m;
    m.fromName = "Ann Example";
    m.fromAddress = "ann@example.test";
    m.to = {"bob@example.test"};
    m.subject = subject;
    m.text = {"plain", "text"};
    const std::string plain = ComposeMessage(m);
    EXPECT_EQ(plain.find("=?"), std::string::npos) << "ASCII folds at blanks";
    QJsonObject parsed = ParseMessage(WriteFile(dir, "plain.eml", plain));
    ExpectClean(parsed);
    EXPECT_EQ(parsed["subject"].toString().toStdString() + " ", subject) << "nothing cut";
    const QJsonObject body = parsed["parts"].toArray()[0].toObject();
    EXPECT_EQ(body["charset"].toString(), "us-ascii");
    EXPECT_EQ(body["encoding"].toString(), "");
    EXPECT_EQ(body["text"].toString(), "plain\ntext\n\n") << "the lines and the empty one that ends the body";

    // The boundary is the message's own; a file that holds it gets another.
    const std::string path = WriteFile(dir, "part.txt", "x\r\n");
    TAttachmentDescriptor d{"", 3, "text/plain", "", "", path};
    m.attachments = {path};
    m.descriptors = {&d};
    const std::string first = BoundaryOf(ComposeMessage(m));
    const std::string trap = "before\r\n--" + first + "\r\nafter\r\n--" + first + "--\r\n";
    WriteFile(dir, "part.txt", trap);
    const std::string message = ComposeMessage(m);
    EXPECT_NE(BoundaryOf(message), first);
    parsed = ParseMessage(WriteFile(dir, "trap.eml", message));
    ExpectClean(parsed);
    ASSERT_EQ(parsed["parts"].toArray().size(), 2);
    EXPECT_EQ(parsed["parts"].toArray()[1].toObject()["sha256"].toString().toStdString(),
              Sha256(trap.substr(0, trap.size() - 2)));
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
    const std::string B = writer.Boundary();
    EXPECT_EQ(BoundaryOf(message), B);
    EXPECT_EQ(feeds, 2) << "asked until it gave nothing";
    EXPECT_NE(message.find("\r\n\r\nfed--" + B + "\r\n"), std::string::npos) << "no text part: the data stands alone";
    EXPECT_LT(message.size(), 4000u) << "stopped after the block it was in";
    EXPECT_EQ(message.find("--" + B + "--"), std::string::npos) << "no closing boundary";
}
