#include "RouteChainFixture.h"
#include "WindowFixture.h"
#include "support/FakeIcmp.h"
#include "platform/icmp6.h"
#include "support/NetworkTopology.h"

#include <algorithm>
#include <fstream>
#include <sstream>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

// Pings 127.0.0.1 through a stand-in ICMP library that answers at once; the
// tick is shortened so runs take a fraction of a second.
class PingCommand : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        icmp = std::make_unique<testsupport::FakeIcmp>();
        Open();
        window->timer->setInterval(60);
        Type(window->hostname, "127.0.0.1");
    }
    bool Idle() const { return !window->timer->isActive() && !Busy(); }
    std::unique_ptr<testsupport::FakeIcmp> icmp;
};

// The real facility, at the real one-second tick.
class RealPingCommand : public WindowFixture {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        if (IcmpMode() == imNone)
            GTEST_SKIP() << "no ICMP facility for this user (needs root or ping_group_range)";
        Open();
        Type(window->hostname, "127.0.0.1");
    }
};

// Pings across namespace routers as root, where ping runs on the raw socket:
// client -- r1 -- r2 -- target, r1 silent about expired echoes and rejecting
// one address as unreachable.
class RoutePingCommand : public RouteChainFixture<WindowFixture> {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root for raw ICMP and network namespaces";
        WindowFixture::SetUp();
        ASSERT_NO_FATAL_FAILURE(EnterChain());
        ASSERT_TRUE(topology->RejectAndSilenceRouter1()) << "nftables is needed";
        Open();
        window->timer->setInterval(60);
        Type(window->timeout, "300");
        Type(window->packets, "1");
    }
};

// Echo requests this thread's network namespace has sent so far.
long OutEchos()
{
    std::ifstream snmp("/proc/thread-self/net/snmp");
    std::string line, names, values;
    while (std::getline(snmp, line))
        if (line.rfind("Icmp: ", 0) == 0)
            (names.empty() ? names : values) = line;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
        if (name == "OutEchos")
            return std::stol(value);
    return -1;
}

} // namespace

TEST_F(RealPingCommand, ARunOfTwoReportsEachEchoAndTheCompletion)
{
    Type(window->packets, "2");
    Click(window->bPing);
    EXPECT_TRUE(Busy());
    EXPECT_EQ(Lines().back(), "Attempting to PING 127.0.0.1...");
    EXPECT_EQ(Attributes(int(Lines().size()) - 1), std::make_pair(true, QRgb(0x0000FF)));
    ASSERT_TRUE(PumpUntil([&] { return !window->timer->isActive() && !Busy(); }, 10000));

    const int heading = IndexOf("Attempting to PING 127.0.0.1...");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), size_t(heading) + 5);
    for (int echo = 1; echo <= 2; ++echo) {
        const std::string prefix = "  ! 0: Packet #" + std::to_string(echo) + ": 127.0.0.1: ";
        EXPECT_EQ(lines[size_t(heading + echo)].rfind(prefix, 0), 0u) << lines[size_t(heading + echo)];
        EXPECT_EQ(lines[size_t(heading + echo)].substr(lines[size_t(heading + echo)].size() - 2), "ms");
    }
    EXPECT_EQ(lines[lines.size() - 2], "Ping complete: 2 packets sent.");
    EXPECT_EQ(Attributes(int(lines.size()) - 2), std::make_pair(true, QRgb(0x0000FF)));
    EXPECT_EQ(lines.back().rfind("2 packets transmitted, 2 received, 0% packet loss, rtt min/avg/max/mdev = ", 0), 0u)
        << lines.back();

    ASSERT_EQ(Rows(), 2);
    for (int i = 0; i < 2; ++i) {
        const auto row = Row(i);
        EXPECT_EQ(row[0], "!");
        EXPECT_EQ(row[1], std::to_string(i + 1));
        EXPECT_EQ(row[2], "127.0.0.1");
        EXPECT_EQ(row[4], "100%");
        const int sum = std::stoi(Row(0)[3]) + (i ? std::stoi(row[3]) : 0);
        EXPECT_EQ(row[5], std::to_string(sum / (i + 1)) + "ms");
    }
    EXPECT_EQ(window->details->headerItem()->text(3), "Roundtime");
    EXPECT_TRUE(errors.empty());
}

TEST_F(PingCommand, EachEchoIsSentWithTheFieldsAndAnErrorAnswerIsShownInRed)
{
    Type(window->packets, "1");
    Type(window->block_size, "300");
    Click(window->bPing);
    EXPECT_EQ(window->pingdata->Blocksize, 44) << "the blocksize field keeps its low byte";
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(Row(0)[0], "!");

    icmp->Script = [](const testsupport::FakeIcmp::Echo& e) {
        return e.ttl == 3 ? testsupport::FakeIcmp::Answer{IP_DEST_HOST_UNREACHABLE, "10.9.9.9", 0}
                          : testsupport::FakeIcmp::Answer{};
    };
    Type(window->time_to_live, "3");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    ASSERT_EQ(icmp->sent.size(), 2u);
    EXPECT_EQ(icmp->sent[1].to, "127.0.0.1");
    EXPECT_EQ(icmp->sent[1].ttl, 3);
    const int alert = int(Lines().size()) - 3; // heading, answer, completion, summary
    EXPECT_EQ(Lines()[size_t(alert) - 1], "Attempting to PING 127.0.0.1...");
    EXPECT_EQ(Lines()[size_t(alert)], "  . 11003");
    EXPECT_EQ(Attributes(alert), std::make_pair(true, QRgb(0xFF0000)));
    EXPECT_EQ(Row(0)[2], "10.9.9.9");
}

TEST_F(PingCommand, WithoutAnIcmpFacilityTheUserIsToldOnceAndNothingClaimsSuccess)
{
    window.reset();
    ForceIcmpMode(imNone);
    Open();
    EXPECT_GE(IndexOf(TformVexmor::NoIcmpAdvice()), 0) << "said at start, with what to do";
    EXPECT_NE(TformVexmor::NoIcmpAdvice().find("ping_group_range"), std::string::npos);
    window->timer->setInterval(60);
    Type(window->packets, "3");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty() && !Busy(); }));
    PumpFor(200);
    EXPECT_EQ(errors, std::vector<std::string>{"No ICMP available\n" + TformVexmor::NoIcmpAdvice()})
        << "the box keeps its text and says what to do";
    EXPECT_EQ(IndexOf("Ping complete: 3 packets sent."), -1);
    EXPECT_FALSE(window->timer->isActive());

    Click(window->bTrace);
    EXPECT_EQ(errors.back(), "No ICMP.DLL found\n" + TformVexmor::NoIcmpAdvice());
    EXPECT_FALSE(Busy());
}

TEST_F(PingCommand, ThePacketCountIsReadAtEveryEchoAndZeroSendsNothing)
{
    Type(window->packets, "0");
    window->pingsingle->trigger();
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(Lines()[Lines().size() - 2], "Ping complete: 0 packets sent.");
    EXPECT_EQ(Lines().back(), "0 packets transmitted, 0 received");
    EXPECT_EQ(Rows(), 0);

    Type(window->packets, "50");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Rows() >= 1; }));
    Type(window->packets, "3");
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(Lines()[Lines().size() - 2], "Ping complete: 3 packets sent.");
    EXPECT_EQ(Rows(), 3);
}

TEST_F(PingCommand, StopEndsTheRunAtOnce)
{
    Type(window->packets, "50");
    window->popmailDelSel->setEnabled(true);
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Rows() >= 1; }));
    Click(window->bStop);
    const int rows = Rows();
    PumpFor(300);

    EXPECT_EQ(Rows(), rows) << "no echo after Stop";
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "CANCELLED!");
    EXPECT_EQ(Attributes(int(lines.size()) - 2), std::make_pair(true, QRgb(0x0000FF)));
    EXPECT_EQ(lines.back(), "Socket Closed") << "Stop always closes the finger socket";
    EXPECT_EQ(IndexOf("Ping complete: 50 packets sent."), -1);
    EXPECT_FALSE(Busy());
    EXPECT_FALSE(window->timer->isActive());
    EXPECT_FALSE(window->popmailDelSel->isEnabled());
    EXPECT_FALSE(window->popmailMsgText->isEnabled());
    EXPECT_TRUE(window->msg_body->isHidden());
}

TEST_F(PingCommand, AFieldThatIsNotANumberStopsTheRunAndTheWindowWaitsForStop)
{
    Type(window->block_size, "6x4");
    const size_t before = Lines().size();
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    PumpFor(50);
    ASSERT_EQ(errors, std::vector<std::string>{"'6x4' is not a valid integer value"});
    EXPECT_EQ(Lines().size(), before) << "no heading";
    EXPECT_TRUE(Busy());
    EXPECT_FALSE(window->timer->isActive());
    Click(window->bStop);
    EXPECT_FALSE(Busy());

    // Packets turning invalid mid-run: said once, and the run waits for Stop.
    errors.clear();
    Type(window->block_size, "64");
    Type(window->packets, "50");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Rows() >= 1; }));
    Type(window->packets, "many");
    ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
    PumpFor(200); // the ticks that would follow say nothing more
    EXPECT_EQ(errors, std::vector<std::string>{"'many' is not a valid integer value"});
    EXPECT_FALSE(window->timer->isActive());
    EXPECT_TRUE(Busy());
    Click(window->bStop);

    // Checked hosts with nothing checked: nothing is sent, and the window stays busy.
    const size_t beforeChecked = Lines().size();
    window->ping_checked->trigger();
    PumpFor(200);
    EXPECT_EQ(Lines().size(), beforeChecked);
    EXPECT_FALSE(window->timer->isActive());
    EXPECT_TRUE(Busy());
}

// The summary takes the component's microseconds; the lines and rows keep
// their whole milliseconds.
TEST_F(PingCommand, TheRunEndsWithASummaryOfTheRoundTripsInMicroseconds)
{
    icmp->Script = [this](const testsupport::FakeIcmp::Echo&) {
        switch (icmp->sent.size()) { // this echo's number
        case 1: return testsupport::FakeIcmp::Answer{IP_SUCCESS, "", 0, 250};
        case 2: return testsupport::FakeIcmp::Answer{IP_SUCCESS, "", 1, 1500};
        default: return testsupport::FakeIcmp::Answer{IP_REQ_TIMED_OUT, "", 0};
        }
    };
    Type(window->packets, "3");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    const auto lines = Lines();
    const int heading = IndexOf("Attempting to PING 127.0.0.1...");
    ASSERT_EQ(lines.size(), size_t(heading) + 6);
    EXPECT_EQ(lines[size_t(heading) + 1], "  ! 0: Packet #1: 127.0.0.1: 0ms");
    EXPECT_EQ(lines[size_t(heading) + 2], "  ! 0: Packet #2: 127.0.0.1: 1ms");
    EXPECT_EQ(lines[size_t(heading) + 4], "Ping complete: 3 packets sent.");
    // mean 875 us; sqrt((250² + 1500²) / 2 - 875²) = 625 us
    EXPECT_EQ(lines.back(), "3 packets transmitted, 2 received, 33.3333% packet loss, "
                            "rtt min/avg/max/mdev = 0.250/0.875/1.500/0.625 ms");
    EXPECT_EQ(Attributes(int(lines.size()) - 1), std::make_pair(false, QRgb(0x000000)));
    EXPECT_EQ(Row(1)[3], "1");
    EXPECT_EQ(Row(1)[5], "0ms");
}

TEST_F(PingCommand, CheckedHostsAreEachSentOneEcho)
{
    for (const char* name : {"alpha", "beta", "gamma"}) {
        auto* entry = new QTreeWidgetItem(window->hosts, QStringList{name, "127.0.0.1", "", ""});
        entry->setCheckState(0, std::string(name) == "beta" ? Qt::Unchecked : Qt::Checked);
    }
    Type(window->packets, "5");
    window->ping_checked->trigger();
    EXPECT_EQ(window->PageControl->currentWidget(), window->tsVerbose);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    PumpFor(100);

    const auto lines = Lines();
    EXPECT_EQ(CountOf("Attempting to PING 127.0.0.1..."), 2);
    EXPECT_EQ(lines.back(), "Ping complete.");
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Row(0), std::vector<std::string>(6, "")) << "checked-hosts rows stay empty";
    int answers = 0;
    for (const std::string& l : lines)
        answers += l.rfind("  ! 0: 127.0.0.1: ", 0) == 0 && l.substr(l.size() - 2) == "ms";
    EXPECT_EQ(answers, 2);
}

TEST_F(PingCommand, AHostWithoutAnAddressIsSaidAndNothingIsSentOrTraced)
{
    const std::string unknown = std::string(70, 'u') + ".invalid";
    const std::string said = "Cannot resolve " + unknown + ": nothing was sent. Check the name, or type the host's address.";
    Type(window->hostname, unknown.c_str());
    Type(window->packets, "3");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    PumpFor(200);
    EXPECT_EQ(errors, std::vector<std::string>{said});
    EXPECT_EQ(Lines().back(), said);
    EXPECT_EQ(Attributes(int(Lines().size()) - 1), std::make_pair(true, QRgb(0xFF0000)));
    EXPECT_EQ(Rows(), 0);

    Click(window->bTrace);
    EXPECT_EQ(errors.size(), 2u);
    EXPECT_EQ(Lines().back(), said);
    EXPECT_FALSE(Busy());
    EXPECT_TRUE(icmp->sent.empty()) << "nothing goes to 255.255.255.255";
}

TEST_F(RoutePingCommand, OnTheRawPathEveryAnswerHasItsLineAndRowAndTheRunWaitsForTheLast)
{
    using testsupport::RouteTopology;
    struct Case {
        const char* host;
        const char* ttl;
        const char* alert;
        const char* from;
    };
    for (const Case& c : {Case{RouteTopology::TargetAddress, "2", "  . 11013", RouteTopology::Router2},
                          Case{RouteTopology::UnreachableAddress, "64", "  . 11003", RouteTopology::Router1},
                          Case{RouteTopology::TargetAddress, "1", "  . 11010", RouteTopology::TargetAddress},
                          Case{RouteTopology::TargetAddress, "256", "  . 11007", RouteTopology::TargetAddress}}) {
        Type(window->hostname, c.host);
        Type(window->time_to_live, c.ttl);
        const size_t heading = Lines().size();
        Click(window->bPing);
        ASSERT_TRUE(PumpUntil([&] { return !window->timer->isActive() && !Busy(); })) << "ttl " << c.ttl;
        const auto lines = Lines();
        ASSERT_EQ(lines.size(), heading + 4) << lines.back();
        EXPECT_EQ(lines[heading + 1], c.alert) << "ttl " << c.ttl;
        EXPECT_EQ(lines[heading + 2], "Ping complete: 1 packets sent.") << "after the answer, never before";
        EXPECT_EQ(lines[heading + 3], "1 packets transmitted, 0 received, 100% packet loss");
        ASSERT_EQ(Rows(), 1);
        EXPECT_EQ(Row(0)[0], ".");
        EXPECT_EQ(Row(0)[2], c.from) << "ttl " << c.ttl;
        EXPECT_EQ(Row(0)[4], "0%");
    }
}

// The datagram socket's wait lets events through: Stop ends the run at once
// although the echo's time-out is a minute, and no echo follows; the ping
// timer's ticks do not end a checked-hosts run while an echo waits.
TEST_F(WindowFixture, ADatagramEchoWaitsWithEventsFlowingAndStopEndsItAtOnce)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    testsupport::NetNamespace ns("sp");
    ASSERT_EQ(ns.Exec("sysctl -w net.ipv4.ping_group_range='0 2147483647'"), 0);
    ASSERT_TRUE(ns.DropIcmp("input", "echo-reply")) << "nftables is needed";
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    EndIcmpModule();
    icmplib::testing::UseOnly(IcmpFacility::Datagram);
    ProbeIcmp();
    icmplib::testing::UseOnly(IcmpFacility::None);
    ASSERT_EQ(LoadedIcmpFacility(), IcmpFacility::Datagram);
    ForceIcmpMode(imLibrary);
    Open();
    window->timer->setInterval(60);
    Type(window->hostname, "127.0.0.1");
    Type(window->timeout, "60000");
    Type(window->packets, "5");

    const long before = OutEchos();
    ASSERT_GE(before, 0);
    // Stop is clicked while the first echo waits for its answer.
    bool stopped = false;
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (!stopped && OutEchos() > before) {
            stopped = true;
            Click(window->bStop);
        }
    });
    stopper.start(5);
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return stopped && !Busy(); }, 10000)) << "Stop waited for the time-out";
    PumpFor(300);
    EXPECT_EQ(OutEchos() - before, 1) << "no echo after Stop";
    EXPECT_EQ(Rows(), 0) << "the echo cut short is not reported";
    EXPECT_EQ(IndexOf("CANCELLED!"), int(Lines().size()) - 2);
    EXPECT_FALSE(window->timer->isActive());

    // Checked hosts waiting for their answers each get theirs before the run ends.
    for (const char* name : {"one", "two"})
        (new QTreeWidgetItem(window->hosts, QStringList{name, "127.0.0.1", "", ""}))->setCheckState(0, Qt::Checked);
    Type(window->timeout, "300");
    window->ping_checked->trigger();
    ASSERT_TRUE(PumpUntil([&] { return !window->timer->isActive() && !Busy(); }));
    EXPECT_EQ(CountOf("  . 11010"), 2);
    EXPECT_EQ(Lines().back(), "Ping complete.");
    window.reset(); // its ICMP socket lives in the namespace
}

// A full-length IPv6 address, on a namespace's own loopback so the echo stays
// inside: the report's address column shows all of it.
TEST_F(WindowFixture, TheAddressColumnShowsAWholeIPv6Address)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    if (LoadedIcmp6Facility() == IcmpFacility::None)
        GTEST_SKIP() << "no ICMPv6 socket for this user";
    const std::string address = "fd00:201:4242:4242:4242:4242:4242:4242";
    testsupport::NetNamespace ns("aw");
    ASSERT_EQ(ns.Exec("ip -6 addr add " + address + "/128 dev lo nodad"), 0);
    testsupport::EnterNamespace inside(ns);
    ASSERT_TRUE(inside.ok());
    Open();
    window->timer->setInterval(60);
    Type(window->packets, "1");
    Type(window->hostname, address.c_str());
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return !window->timer->isActive() && !Busy(); }));
    int row = -1;
    for (int i = 0; i < Rows() && row < 0; ++i)
        if (Row(i)[2] == address)
            row = i;
    ASSERT_GE(row, 0) << "a row with the address";
    EXPECT_EQ(Row(row)[0], "!");
    const QString text = QString::fromStdString(address);
    EXPECT_GE(window->details->columnWidth(2), window->details->fontMetrics().horizontalAdvance(text));
    window.reset(); // its ICMPv6 socket lives in the namespace
}

// ::1 through the real ICMPv6 socket (the stand-in serves IPv4 only): the
// lines and rows of IPv4, with the IPv6 address text.
TEST_F(PingCommand, PingAndTraceReachAnIPv6AddressWithTheLinesAndRowsOfIPv4)
{
    if (LoadedIcmp6Facility() == IcmpFacility::None)
        GTEST_SKIP() << "no ICMPv6 socket for this user (needs root or ping_group_range)";
    const auto startsWith = [](const std::string& line, const std::string& head) { return line.rfind(head, 0) == 0; };
    Type(window->packets, "2");
    Type(window->hostname, "[::1]");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    auto lines = Lines();
    const int heading = IndexOf("Attempting to PING [::1]...");
    ASSERT_GE(heading, 0);
    ASSERT_EQ(lines.size(), size_t(heading) + 5);
    EXPECT_TRUE(startsWith(lines[size_t(heading) + 1], "  ! 0: Packet #1: ::1: ")) << lines[size_t(heading) + 1];
    EXPECT_TRUE(startsWith(lines[size_t(heading) + 2], "  ! 0: Packet #2: ::1: ")) << lines[size_t(heading) + 2];
    EXPECT_EQ(lines[size_t(heading) + 3], "Ping complete: 2 packets sent.");
    EXPECT_TRUE(startsWith(lines.back(), "2 packets transmitted, 2 received, 0% packet loss")) << lines.back();
    EXPECT_EQ(Row(1)[2], "::1");
    EXPECT_TRUE(icmp->sent.empty()) << "nothing went to the IPv4 library";

    Type(window->hostname, "::1");
    Click(window->bTrace);
    ASSERT_TRUE(PumpUntil([&] { return !Busy(); }));
    lines = Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(startsWith(lines[lines.size() - 2], " Hop #1: ::1: ")) << lines[lines.size() - 2];
    EXPECT_EQ(lines.back(), "Trace complete: Total HOP Count is 1.");
    EXPECT_EQ(Row(0)[1], "::1");

    // Checked hosts of both families are each pinged on their own path.
    for (const auto& [name, address] : {std::pair<const char*, const char*>{"v6", "::1"}, {"v4", "127.0.0.1"}}) {
        Type(window->hostname, address);
        Type(window->savename, name);
        window->bAdd->click();
    }
    for (int i = 0; i < window->hosts->topLevelItemCount(); ++i)
        window->hosts->topLevelItem(i)->setCheckState(0, Qt::Checked);
    window->ping_checked->trigger();
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    ASSERT_EQ(icmp->sent.size(), 1u);
    EXPECT_EQ(icmp->sent[0].to, "127.0.0.1");
    EXPECT_EQ(CountOf("Ping complete."), 1);
    lines = Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return startsWith(l, "  ! 0: ::1: "); }),
              1);
    EXPECT_TRUE(errors.empty());
}
