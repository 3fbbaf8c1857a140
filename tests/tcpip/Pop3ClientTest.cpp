#include "framework/SysUtils.h"
#include "support/ClientFixture.h"
#include "support/Loopback.h"
#include "support/Raised.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "tcpip/T_Pop3.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
#include <functional>

using testsupport::Raised;
using testsupport::ScriptServer;
using S = ScriptServer;

namespace {

class Pop3Client : public ClientFixture {
protected:
    void Aim(T_Pop3& pop, uint16_t port, const char* password = "secret")
    {
        pop.Hostname = "127.0.0.1";
        pop.RemotePort = port;
        pop.UserName = "alice";
        pop.Password = password;
        pop.ReplyTimeoutMs = 5000;
        Follow(pop);
    }
};

// Greeting, USER and PASS accepted and LIST asked; then the rest.
std::vector<ScriptServer::Step> UpToList(std::vector<ScriptServer::Step> rest)
{
    std::vector<S::Step> steps = {S::Send("+OK ready\r\n"), S::Expect(), S::Send("+OK\r\n"),
                                  S::Expect(),                S::Send("+OK\r\n"), S::Expect()};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

std::vector<ScriptServer::Step> GoodSession()
{
    return UpToList({S::Send("+OK\r\n1 120\r\n.\r\n"), S::Expect(), S::Send("+OK bye\r\n"), S::Close()});
}

} // namespace

TEST_F(Pop3Client, CountsListsReadsAndDeletesARealMailbox)
{
    testsupport::DovecotServer dovecot;
    SKIP_UNLESS_RUNNING(dovecot);
    dovecot.AddMessage("From: Bob <bob@example.test>\r\nSubject: Hello\r\n\r\nfirst line\r\n.dotted\r\n.\r\nlast\r\n");
    dovecot.AddMessage("From: Zo\xe9 <zoe@example.test>\r\nSubject: Caf\xe9 cr\xe8me\r\nMIME-Version: 1.0\r\n"
                       "Content-Type: text/plain; charset=ISO-8859-1\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
                       "Gr\xfc\xdf" "e\r\n");
    dovecot.AddMessage("From:carol@example.test\r\n\r\nno subject\r\n");
    std::string big;
    while (big.size() < 10u * 1024 * 1024)
        big += std::string(78, 'b') + "\r\n";
    dovecot.AddMessage("From: big@example.test\r\nSubject: big\r\n\r\n" + big);

    T_Pop3 pop;
    Aim(pop, dovecot.port());
    pop.Login();
    EXPECT_EQ(pop.NumberOfMails(), 4);
    EXPECT_TRUE(Traced(tlCommand, "PASS *****"));
    for (const auto& [level, line] : trace)
        EXPECT_EQ(line.find("secret"), std::string::npos) << "the password reached the trace";

    pop.GetHeaders();
    EXPECT_EQ(pop.Lines, (std::vector<std::string>{"Bob <bob@example.test>\aHello",
                                                   "Zo\xe9 <zoe@example.test>\aCaf\xe9 cr\xe8me",
                                                   "arol@example.test", "big@example.test\abig"}))
        << "the sender starts after the six characters of \"From: \": without the space a letter goes";

    pop.Retrieve(1);
    const auto body = std::find(pop.Lines.begin(), pop.Lines.end(), "first line");
    ASSERT_NE(body, pop.Lines.end());
    EXPECT_EQ(std::vector<std::string>(body, pop.Lines.end()),
              (std::vector<std::string>{"first line", ".dotted", ".", "last"}))
        << "doubled dots undone; a lone dot inside the text is text";

    pop.Retrieve(4);
    size_t bytes = 0;
    for (const std::string& l : pop.Lines)
        bytes += l.size() + 2;
    EXPECT_GE(bytes, big.size());

    pop.Delete(2);
    pop.Logout();
    EXPECT_EQ(dovecot.MessageCount(), 3) << "the QUIT committed the deletion";
    EXPECT_FALSE(dovecot.HasMessageWith("Caf"));

    // A wrong password shows the server's line; the next Login works.
    pop.Password = "wrong";
    const std::string refused = Raised<EProtocolError>([&] { pop.Login(); });
    EXPECT_EQ(refused.rfind("-ERR", 0), 0u) << refused;
    pop.Password = "secret";
    pop.Login();
    EXPECT_EQ(pop.NumberOfMails(), 3);
    pop.Logout();
}

TEST_F(Pop3Client, FoldedFieldsAreReadUnfoldedEachOnItsOwnAndHeldToTheirBound)
{
    std::string longSubject = "Subject: " + std::string(900, 's');
    while (longSubject.size() < 40000)
        longSubject += "\r\n " + std::string(900, 's');
    ScriptServer server(UpToList({S::Send("+OK\r\n1 120\r\n2 130\r\n3 10\r\n.\r\n"), S::Expect(),
                                  S::Send("+OK\r\nSubject: no sender\r\n\r\n.\r\n"), S::Expect(),
                                  S::Send("+OK\r\nFrom: a@b.test\r\n" + longSubject + "\r\nX: y\r\n\r\n.\r\n"),
                                  S::Expect(),
                                  S::Send("+OK\r\nFrom:\r\n Name\r\n <n@b.test>\r\nX-Other: y\r\n not the "
                                          "sender\r\nSubject: one\r\n\ttwo\r\n\r\n body line\r\n.\r\n"),
                                  S::Expect(), S::Send("+OK bye\r\n"), S::Close()}));
    T_Pop3 pop;
    Aim(pop, server.port());
    pop.Login();
    pop.GetHeaders();
    ASSERT_EQ(pop.Lines.size(), 3u);
    EXPECT_EQ(pop.Lines[0], "Name <n@b.test>\aone\ttwo")
        << "continuations joined to their own field only; the blank line ends the header";
    EXPECT_EQ(pop.Messages[1].MsgFrom, "a@b.test");
    EXPECT_EQ(pop.Messages[1].MsgSubject.size(), 16384u - 9) << "an unfolded line keeps its first 16 KiB";
    EXPECT_EQ(pop.Messages[1].MsgSubject.find_first_not_of("s "), std::string::npos);
    EXPECT_EQ(pop.Lines[2], "\ano sender");
    pop.Logout();
}

TEST_F(Pop3Client, HostileServersEndWithAClearErrorAndTheClientStaysUsable)
{
    const std::string longLine(1024 * 1024, 'x');
    const struct {
        std::vector<S::Step> script;
        const char* expected; // start of the message raised
    } cases[] = {
        {{S::Hold()}, "127.0.0.1 did not answer within 1 second while waiting for its answer."},
        {{S::Send("+OK hel"), S::Close()}, "127.0.0.1 closed the connection instead of answering."},
        {{S::Send("+OK\r\n"), S::Expect(), S::Reset()}, "127.0.0.1 reset the connection instead of answering."},
        // Its first piece taken as the greeting would put the rest where the USER reply is due.
        {{S::Send("+OK " + longLine), S::Close()}, "127.0.0.1 sent a line longer than 64 KiB"},
        {UpToList({S::Send("+OK\r\n1 10\r\n2 20\r\n"), S::Close()}),
         "127.0.0.1 closed the connection before the list was complete (2 lines received)."},
        {UpToList({S::Send("+OK\r\n1 10\r\n"), S::Reset()}),
         "127.0.0.1 reset the connection before the list was complete ("},
        {{S::Send("-ERR go away\r\n"), S::Close()}, "-ERR go away"},
        {{S::Send("+OK\r\n"), S::Expect(), S::Send("-ERR no such user\r\n"), S::Hold()}, "-ERR no such user"},
        {{S::Send("+OK\r\n"), S::Expect(), S::Send("+OK\r\n"), S::Expect(), S::Send("-ERR [AUTH] nope\r\n"),
          S::Hold()},
         "-ERR [AUTH] nope"},
        {UpToList({S::Send("-ERR locked\r\n"), S::Hold()}), "-ERR locked"},
        {UpToList({S::Send("+OK\r\none 10\r\n.\r\n"), S::Hold()}), "'one' is not a valid integer value"},
        {{S::Send("HTTP/1.0 400 Bad\r\n"), S::Close()}, "HTTP/1.0 400 Bad"},
    };
    ScriptServer good(GoodSession());
    for (const auto& c : cases) {
        ScriptServer hostile(c.script);
        T_Pop3 pop;
        Aim(pop, hostile.port());
        pop.ReplyTimeoutMs = 1000;
        const std::string raised = Raised<Exception>([&] { pop.Login(); });
        EXPECT_EQ(raised.rfind(c.expected, 0), 0u) << "raised: " << raised.substr(0, 100);
        EXPECT_LE(raised.size(), 64u * 1024);
        // The same component logs in to a sound server afterwards.
        pop.RemotePort = good.port();
        pop.Login();
        EXPECT_EQ(pop.NumberOfMails(), 1);
        pop.Logout();
    }
}

TEST_F(Pop3Client, NulBytesAndBareLineFeedsAreTakenAsTheyCome)
{
    ScriptServer server({S::Send(std::string("+OK a\0b\n", 8)), S::Expect(), S::Send("+OK\n"), S::Expect(),
                         S::Send("+OK\n"), S::Expect(), S::Send("+OK\n.\n"), S::Expect(), S::Send("+OK\n"),
                         S::Close()});
    T_Pop3 pop;
    Aim(pop, server.port());
    pop.Login();
    EXPECT_TRUE(Traced(tlReply, std::string("+OK a\0b", 7)));
    EXPECT_EQ(pop.NumberOfMails(), 0);
    pop.Logout();
    EXPECT_EQ(server.Received(), (std::vector<std::string>{"USER alice", "PASS secret", "LIST", "QUIT"}));
}

TEST_F(Pop3Client, AnswersCutOffOrPastTheirBoundsEndWithWordsAndDropTheConnection)
{
    const auto session = [](std::vector<S::Step> rest) {
        rest.insert(rest.begin(), S::Send("+OK\r\n1 120\r\n2 130\r\n.\r\n"));
        return UpToList(rest);
    };
    std::string lines;
    for (int i = 0; i < 100; ++i)
        lines += std::string(78, 'm') + "\r\n";
    const struct {
        std::vector<S::Step> script;
        std::function<void(T_Pop3&)> command;
        const char* expected; // start of the message raised
    } cases[] = {
        {session({S::Expect(), S::Send("+OK\r\nFrom: a@b.test\r\n"), S::Close()}),
         [](T_Pop3& pop) { pop.GetHeaders(); },
         "127.0.0.1 closed the connection before the header of message 2 was complete (1 line received)."},
        {session({S::Expect(), S::Send("+OK\r\nFrom: a@b.test\r\n"), S::Reset()}),
         [](T_Pop3& pop) { pop.GetHeaders(); }, "127.0.0.1 reset the connection before the header of message 2"},
        {session({S::Expect(), S::Send("+OK\r\none\r\ntwo\r\nthree\r\n"), S::Close()}),
         [](T_Pop3& pop) { pop.Retrieve(1); },
         "127.0.0.1 closed the connection before the message was complete (3 lines received)."},
        {session({S::Expect(), S::Send("+OK\r\n" + lines), S::Hold()}), [](T_Pop3& pop) { pop.Retrieve(1); },
         "127.0.0.1 sent more than 1,000 bytes for the message, the most this program takes; the connection was "
         "dropped."},
        {session({S::Expect(), S::Send("+OK\r\n" + std::string(70000, 'm') + "\r\n.\r\n"), S::Hold()}),
         [](T_Pop3& pop) { pop.Retrieve(1); }, "127.0.0.1 sent a line longer than 64 KiB"},
    };
    for (const auto& c : cases) {
        ScriptServer hostile(c.script);
        T_Pop3 pop;
        Aim(pop, hostile.port());
        pop.MaxAnswerBytes = 1000;
        pop.Login();
        const std::string raised = Raised<Exception>([&] { c.command(pop); });
        EXPECT_EQ(raised.rfind(c.expected, 0), 0u) << "raised: " << raised.substr(0, 200);
        EXPECT_FALSE(pop.LoggedIn);
        EXPECT_FALSE(pop.Connected()) << "the connection was dropped";
    }

    // An endless list ends at its bound (small here, a million by default).
    std::string endless = "+OK\r\n";
    for (int i = 1; i <= 200; ++i)
        endless += std::to_string(i) + " 100\r\n";
    ScriptServer server(UpToList({S::Send(endless), S::Hold()}));
    T_Pop3 pop;
    Aim(pop, server.port());
    pop.MaxAnswerLines = 100;
    EXPECT_EQ(Raised<ETcpIpError>([&] { pop.Login(); }), "127.0.0.1 sent more than 100 lines for the list, the most this program "
                                        "takes; the connection was dropped.");
    EXPECT_TRUE(pop.Messages.size() <= 100u);
}

TEST_F(Pop3Client, RefusedConnectionsSayWhyAndAnAnswerThatKeepsComingCanBeStopped)
{
    T_Pop3 refused;
    Aim(refused, testsupport::ClosedPort());
    const std::string expected = "Error creating socket: connection refused by 127.0.0.1:" +
                                 std::to_string(refused.RemotePort);
    EXPECT_EQ(Raised<ESocketError>([&] { refused.Login(); }), expected);

    // The list trickles in without a pause long enough to wait on: events
    // still go through, so a Stop pressed meanwhile is heard.
    std::string list;
    for (int i = 1; i <= 400; ++i)
        list += std::to_string(i) + " 9\r\n";
    ScriptServer server(UpToList({S::Send("+OK\r\n"), S::Trickle(list), S::Send(".\r\n"), S::Hold()}));
    T_Pop3 pop;
    Aim(pop, server.port());
    pop.OnTrace = [&pop](const std::string& s, TTraceLevel level) {
        if (level == tlCommand && s == "LIST")
            QTimer::singleShot(0, [&pop] { pop.Cancel(); });
    };
    EXPECT_EQ(Raised<ETcpIpError>([&] { pop.Login(); }), "Stopped while waiting for its answer (127.0.0.1).");
    EXPECT_FALSE(pop.LoggedIn);
}

TEST_F(Pop3Client, ARealMailboxListeningOnIPv6IsReached)
{
    testsupport::DovecotServer dovecot(nullptr, "::1");
    SKIP_UNLESS_RUNNING(dovecot);
    dovecot.AddMessage("From: Bob <bob@example.test>\r\nSubject: over IPv6\r\n\r\nbody\r\n");
    T_Pop3 pop;
    Aim(pop, dovecot.port());
    pop.Hostname = "::1";
    pop.Login();
    EXPECT_EQ(pop.PeerAddress.Text(), "::1");
    EXPECT_EQ(pop.NumberOfMails(), 1);
    pop.GetHeaders();
    EXPECT_EQ(pop.Lines, std::vector<std::string>{"Bob <bob@example.test>\aover IPv6"});
    pop.Logout();
}
