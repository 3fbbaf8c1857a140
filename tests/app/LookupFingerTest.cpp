#include "WindowFixture.h"
#include "sock/NetAddress.h"
#include "support/PrivateHosts.h"
#include "support/ScriptServer.h"

#include <QProcess>

#include <unistd.h>

using testsupport::PumpFor;
using testsupport::PumpUntil;
using S = testsupport::ScriptServer;

namespace {

// Whether something accepts a connection on address:port, of either family.
bool ListensOn(NetAddress address, uint16_t port)
{
    address.SetPort(port);
    sockaddr_storage raw{};
    const socklen_t length = address.ToSockaddr(raw);
    const int fd = ::socket(address.Family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&raw), length) == 0;
    ::close(fd);
    return up;
}

class LookupFinger : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        Open();
    }
    // The lines from the first one equal to from, on.
    std::vector<std::string> LinesFrom(const std::string& from) const
    {
        const auto lines = Lines();
        const int at = IndexOf(from);
        return at < 0 ? std::vector<std::string>{} : std::vector<std::string>(lines.begin() + at, lines.end());
    }
    // Whether wanted appear in this order among the lines (others may be between).
    bool InOrder(const std::vector<std::string>& wanted) const
    {
        size_t next = 0;
        for (const std::string& l : Lines())
            if (next < wanted.size() && l == wanted[next])
                ++next;
        return next == wanted.size();
    }
};

} // namespace

TEST_F(LookupFinger, NSLookupReportsTheAddressAndItsNameOrThatItCannot)
{
    Store("log_transactions", "0");
    window.reset();
    Open();
    window->popmailDelSel->setEnabled(true);
    window->msg_body->show();
    for (const char* host : {"127.0.0.1", "localhost"}) {
        Type(window->hostname, host);
        Click(window->bResolve);
        EXPECT_EQ(LinesFrom(std::string("Resolving ") + host + "..."),
                  (std::vector<std::string>{std::string("Resolving ") + host + "...",
                                            "  ...resolved to 127.0.0.1/localhost."}));
        EXPECT_EQ(window->StatusText(0), std::string(host) + " resolved to 127.0.0.1/localhost...");
        EXPECT_FALSE(Busy());
    }
    EXPECT_FALSE(window->popmailDelSel->isEnabled());
    EXPECT_TRUE(window->msg_body->isHidden());
    EXPECT_EQ(window->PageControl->currentWidget(), window->tsDetailed) << "the page stays";
    EXPECT_NE(LogFile().find("resolved to 127.0.0.1/localhost."), std::string::npos) << "the log was saved";

    const std::string unknown = std::string(70, 'u') + ".invalid";
    for (const std::string& host : {std::string("255.255.255.255"), unknown, std::string()}) {
        Type(window->hostname, host.c_str());
        Click(window->bResolve);
        EXPECT_EQ(LinesFrom("Resolving " + host + "..."),
                  (std::vector<std::string>{"Resolving " + host + "...", "  UNABLE TO RESOLVE."}));
        EXPECT_EQ(window->StatusText(0), "Unable to resolve " + host + "...");
        EXPECT_FALSE(Busy());
    }
}

TEST_F(LookupFinger, FingerToAClosedPortIsRefusedInRed)
{
    Type(window->hostname, "127.0.0.6");
    Click(window->bFinger);
    EXPECT_TRUE(Busy());
    EXPECT_EQ(window->PageControl->currentWidget(), window->tsVerbose);
    ASSERT_TRUE(PumpUntil([&] { return !Busy(); }));
    const auto lines = Lines();
    EXPECT_TRUE(InOrder({"Lookup Of Port 79", "Lookup Of Host 127.0.0.6", "Connection Refused (Error #10061) "}));
    EXPECT_EQ(lines.back(), "Connection Refused (Error #10061) ");
    EXPECT_EQ(Attributes(int(lines.size()) - 1), std::make_pair(true, QRgb(0xFF0000)));
    EXPECT_EQ(IndexOf("Error #10061 (WSAECONNREFUSED)"), -1);
}

TEST_F(LookupFinger, AUserNameTheCodePageCannotHoldIsRefusedBeforeAnyConnection)
{
    Type(window->hostname, "127.0.0.1");
    window->username->setText(QString::fromUtf8("\u0101lice")); // a-macron: no cp1252 byte
    const size_t before = Lines().size();
    Click(window->bFinger);
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    PumpFor(50);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("The user name holds the character U+0101", 0), 0u) << errors[0];
    EXPECT_EQ(Lines().size(), before) << "no look-up, no connection";
    EXPECT_FALSE(window->sockdata->Connected());
    EXPECT_FALSE(Busy());
}

TEST_F(LookupFinger, FingerSendsTheQueryAndShowsTheAnswerLineByLine)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to serve port 79";
    S server({S::Expect(), S::Send("Login: alice\r\nPlan: <b>tests</b>\r\nno line end"), S::Close()}, "127.0.0.5", 79);
    ASSERT_TRUE(server.Listening());
    Type(window->hostname, "127.0.0.5");
    Type(window->username, "alice");
    Click(window->bFinger);
    ASSERT_TRUE(PumpUntil([&] { return IndexOf("Socket Closed") >= 0; }));
    EXPECT_EQ(server.ReceivedBytes(), "alice\r\n");
    EXPECT_TRUE(InOrder({"Lookup Of Port 79", "Lookup Of Host 127.0.0.5", "Non-Blocking Socket Connected", " ",
                         "Connected to 127.0.0.5 on port 79.", " ", "", " ", "Non-Blocking Outgoing Data",
                         "Non-Blocking Incoming Data", "Login: alice", "Plan: <b>tests</b>", "no line end",
                         "Socket Closed"}))
        << window->verbose->toPlainText().toStdString();
    EXPECT_EQ(Attributes(IndexOf("Connected to 127.0.0.5 on port 79.")), std::make_pair(true, QRgb(0x0000FF)));
    EXPECT_FALSE(Busy());
}

TEST_F(LookupFinger, ASecondFingerWhileConnectedGoesNowhereUntilStop)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to serve port 79";
    S server({S::Expect(), S::Send("hello\r\n"), S::Hold()}, "127.0.0.7", 79);
    ASSERT_TRUE(server.Listening());
    Type(window->hostname, "127.0.0.7");
    Click(window->bFinger);
    ASSERT_TRUE(PumpUntil([&] { return IndexOf("hello") >= 0; }));
    ASSERT_FALSE(Busy());

    Click(window->bFinger);
    EXPECT_TRUE(PumpUntil([&] {
        return InOrder({"Setting PortName While Connected Has No Effect",
                        "Setting HostName While Connected Has No Effect"});
    }));
    EXPECT_TRUE(Busy());
    EXPECT_EQ(server.Connections(), 1);

    Click(window->bStop);
    const auto lines = Lines();
    EXPECT_EQ(lines[lines.size() - 2], "CANCELLED!");
    EXPECT_EQ(lines.back(), "Socket Closed");
    EXPECT_FALSE(Busy());
}

TEST_F(LookupFinger, FingerAgainstARealFingerDaemon)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to serve port 79";
    if (!QFile::exists("/usr/sbin/in.fingerd") || !QFile::exists("/usr/bin/socat"))
        GTEST_SKIP() << "in.fingerd and socat are not installed (tools/install-deps.sh installs them)";
    // Over IPv4, and over IPv6 to a daemon listening on ::1 only.
    const std::pair<const char*, const char*> daemons[] = {
        {"TCP-LISTEN:79,bind=127.0.0.1,reuseaddr,fork", "127.0.0.1"},
        {"TCP6-LISTEN:79,bind=[::1],ipv6only=1,reuseaddr,fork", "::1"}};
    for (const auto& [listen, host] : daemons) {
        SCOPED_TRACE(host);
        QProcess inetd;
        const std::optional<NetAddress> at = NetAddress::FromText(host);
        // Another finger server there would answer in the daemon's place.
        ASSERT_FALSE(ListensOn(*at, 79)) << "port 79 on " << host << " is taken by another program";
        inetd.start("/usr/bin/socat", {listen, "EXEC:/usr/sbin/in.fingerd"});
        ASSERT_TRUE(inetd.waitForStarted());
        ASSERT_TRUE(PumpUntil([&] { return ListensOn(*at, 79); }));
        window->verbose->clear();
        Type(window->hostname, host);
        Type(window->username, "root");
        Click(window->bFinger);
        const bool closed = PumpUntil([&] { return IndexOf("Socket Closed") >= 0; }, 10000);
        inetd.terminate();
        inetd.waitForFinished();
        ASSERT_TRUE(closed) << window->verbose->toPlainText().toStdString();
        EXPECT_GE(IndexOf(std::string("Connected to ") + host + " on port 79."), 0);
        bool login = false;
        for (const std::string& l : Lines())
            login = login || l.rfind("Login: root", 0) == 0;
        EXPECT_TRUE(login) << window->verbose->toPlainText().toStdString();
    }
}

TEST_F(LookupFinger, AnAnswerWithNoLineEndIsShownInBoundedPiecesAndAResetKeepsTheLastLine)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to serve port 79";
    // 200 KB with no line end, then "tail" unfinished, then a reset.
    const size_t zs = 200 * 1024;
    S server({S::Expect(), S::Send(std::string(zs, 'z') + "\r\ntail"), S::Pause(), S::Reset()}, "127.0.0.8", 79);
    ASSERT_TRUE(server.Listening());
    Type(window->hostname, "127.0.0.8");
    Click(window->bFinger);
    size_t shown = 0, longest = 0;
    const auto count = [&] {
        shown = longest = 0;
        for (const std::string& l : Lines()) {
            longest = std::max(longest, l.size());
            if (!l.empty() && l[0] == 'z')
                shown += l.size();
        }
    };
    // The reset goes out once the whole answer has been read.
    ASSERT_TRUE(PumpUntil([&] {
        count();
        if (shown == zs)
            server.Resume();
        return Lines().back().rfind("Error #10054", 0) == 0;
    }, 10000)) << "last line: " << Lines().back().substr(0, 80);
    count();
    EXPECT_EQ(shown, zs) << "every byte shown, none twice";
    EXPECT_EQ(longest, 1024u) << "shown in 1 KiB lines, which the transcript draws quickly";
    const auto lines = Lines();
    EXPECT_EQ(lines[lines.size() - 2], "tail") << "the unfinished line comes before the error";
    EXPECT_EQ(Attributes(int(lines.size()) - 1), std::make_pair(true, QRgb(0xFF0000)));
    EXPECT_FALSE(Busy());
}

TEST_F(LookupFinger, NSLookupShowsEveryAddressOfBothFamiliesEachWithItsName)
{
    // Names of the test's own, seen by this (the window's) thread only.
    testsupport::PrivateHosts names("127.0.0.1 localhost\n"
                                    "::1 v6loop.vexmor.test\n"
                                    "127.0.0.2 dual.vexmor.test\n"
                                    "fd00:7665:786d::2 dual.vexmor.test\n"
                                    "fd00:7665:786d::6 v6only.vexmor.test\n");
    if (!names.Failure().empty())
        GTEST_SKIP() << names.Failure();
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        // The IPv4 address keeps its line and the status text; the other follows.
        {"dual.vexmor.test",
         {"  ...resolved to 127.0.0.2/dual.vexmor.test.", "  ...also resolved to fd00:7665:786d::2/dual.vexmor.test."}},
        {"v6only.vexmor.test", {"  ...resolved to fd00:7665:786d::6/v6only.vexmor.test."}},
        {"::1", {"  ...resolved to ::1/v6loop.vexmor.test."}},
        {"[::1]", {"  ...resolved to ::1/v6loop.vexmor.test."}},
        {"fd00:7665:786d::77", {"  ...resolved to fd00:7665:786d::77/fd00:7665:786d::77."}},
    };
    for (const auto& [host, found] : cases) {
        Type(window->hostname, host.c_str());
        Click(window->bResolve);
        std::vector<std::string> expected{"Resolving " + host + "..."};
        expected.insert(expected.end(), found.begin(), found.end());
        EXPECT_EQ(LinesFrom("Resolving " + host + "..."), expected);
        const std::string first = found[0].substr(std::string("  ...resolved to ").size());
        EXPECT_EQ(window->StatusText(0), host + " resolved to " + first.substr(0, first.size() - 1) + "...");
        EXPECT_FALSE(Busy());
    }
}
