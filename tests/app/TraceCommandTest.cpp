#include "RouteChainFixture.h"
#include "WindowFixture.h"
#include "support/FakeIcmp.h"
#include "support/NetworkTopology.h"

#include <QTextDocument>

using testsupport::PumpFor;
using testsupport::PumpUntil;
using testsupport::RouteTopology;

namespace {

class TraceBase : public WindowFixture {
protected:
    // Calls action once, when the transcript's last line first starts with prefix.
    void OnLine(const std::string& prefix, std::function<void()> action)
    {
        auto done = std::make_shared<bool>(false);
        QObject::connect(window->verbose->document(), &QTextDocument::contentsChanged, window.get(),
                         [this, prefix, action, done] {
                             if (!*done && Lines().back().rfind(prefix, 0) == 0) {
                                 *done = true;
                                 action();
                             }
                         });
    }

    // " Hop #<hop>: <middle><digits>ms"
    static bool IsHop(const std::string& line, int hop, const std::string& middle)
    {
        const std::string head = " Hop #" + std::to_string(hop) + ": " + middle;
        if (line.rfind(head, 0) != 0 || line.size() < head.size() + 3)
            return false;
        const std::string time = line.substr(head.size(), line.size() - head.size() - 2);
        return line.substr(line.size() - 2) == "ms" &&
               time.find_first_not_of("0123456789") == std::string::npos;
    }
};

// Traces through a stand-in ICMP library that answers each probe at once.
class TraceCommand : public TraceBase {
protected:
    void SetUp() override
    {
        WindowFixture::SetUp();
        icmp = std::make_unique<testsupport::FakeIcmp>();
        Open();
    }
    std::unique_ptr<testsupport::FakeIcmp> icmp;
};

// Real traces across network namespaces.
class RouteTraceCommand : public RouteChainFixture<TraceBase> {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to build network namespaces";
        WindowFixture::SetUp();
        Open();
        ASSERT_NO_FATAL_FAILURE(EnterChain());
        Type(window->hostname, RouteTopology::TargetAddress);
        Type(window->timeout, "300");
    }
    // Traces the target, three hops away: `lines` from the heading on, the
    // heading at `heading` in the transcript.
    void TraceTarget(std::vector<std::string>& lines, int& heading)
    {
        Click(window->bTrace);
        heading = IndexOf("Attempting to TRACE 10.201.3.2...");
        ASSERT_GE(heading, 0);
        const auto all = Lines();
        lines.assign(all.begin() + heading, all.end());
        ASSERT_EQ(lines.size(), 5u) << lines.back();
        EXPECT_TRUE(IsHop(lines[1], 1, "10.201.1.1: ")) << lines[1];
        EXPECT_EQ(lines.back(), "Trace complete: Total HOP Count is 3.");
    }
};

} // namespace

TEST_F(TraceCommand, ALoopbackTraceIsOneHopAndResolvingShowsItsName)
{
    Type(window->hostname, "127.0.0.1");
    Click(window->bTrace);
    ASSERT_FALSE(Busy());
    const auto lines = Lines();
    const int heading = IndexOf("Attempting to TRACE 127.0.0.1...");
    ASSERT_GE(heading, 0);
    ASSERT_EQ(lines.size(), size_t(heading) + 3);
    EXPECT_TRUE(IsHop(lines[size_t(heading) + 1], 1, "127.0.0.1: ")) << lines[size_t(heading) + 1];
    EXPECT_EQ(lines.back(), "Trace complete: Total HOP Count is 1.");
    EXPECT_EQ(Attributes(int(lines.size()) - 1), std::make_pair(true, QRgb(0x0000FF)));
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Row(0)[0], "1");
    EXPECT_EQ(Row(0)[1], "127.0.0.1");
    EXPECT_EQ(Row(0)[2], "127.0.0.1");
    EXPECT_EQ(window->details->headerItem()->text(2), "Host");

    Type(window->hostname, "localhost");
    window->trace_resolve->click();
    window->tracesingle->trigger();
    const auto resolved = Lines();
    EXPECT_TRUE(IsHop(resolved[resolved.size() - 2], 1, "127.0.0.1 (localhost): ")) << resolved[resolved.size() - 2];
    EXPECT_EQ(Row(0)[2], "localhost");
}

TEST_F(TraceCommand, CheckedHostsAreTracedInTurnAndTheListShowsTheLast)
{
    for (const char* name : {"one", "two"}) {
        auto* entry = new QTreeWidgetItem(window->hosts, QStringList{name, "127.0.0.1", "", ""});
        entry->setCheckState(0, Qt::Checked);
    }
    window->trace_checked->trigger();
    EXPECT_EQ(CountOf("Attempting to TRACE 127.0.0.1..."), 2);
    EXPECT_EQ(CountOf("Trace complete: Total HOP Count is 1."), 2);
    EXPECT_EQ(Rows(), 1);
    EXPECT_FALSE(Busy());
}

TEST_F(RouteTraceCommand, EachRouterGetsAHopLineAndResolvingCanBeSwitchedOnMidTrace)
{
    OnLine(" Hop #1: ", [this] { window->trace_resolve->click(); });
    std::vector<std::string> lines;
    int heading = 0;
    ASSERT_NO_FATAL_FAILURE(TraceTarget(lines, heading));
    // Without a reverse name the parentheses show the dotted address.
    EXPECT_TRUE(IsHop(lines[2], 2, "10.201.2.2 (10.201.2.2): ")) << lines[2];
    EXPECT_TRUE(IsHop(lines[3], 3, "10.201.3.2 (10.201.3.2): ")) << lines[3];
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Row(1)[1], "10.201.2.2");
    EXPECT_FALSE(Busy());
}

TEST_F(RouteTraceCommand, ATimeToLiveShorterThanThePathLeavesTheWindowBusy)
{
    Type(window->time_to_live, "2");
    Click(window->bTrace);
    const auto lines = Lines();
    EXPECT_TRUE(IsHop(lines.back(), 2, "10.201.2.2: ")) << lines.back();
    EXPECT_EQ(Rows(), 2);
    EXPECT_TRUE(Busy());
    Click(window->bStop);
    EXPECT_FALSE(Busy());
    EXPECT_EQ(Lines()[Lines().size() - 2], "CANCELLED!");
}

// A router that says nothing of expired echoes gets a muted line of its own,
// no row, and the trace goes on past it.
TEST_F(RouteTraceCommand, ASilentRouterGetsAMutedLineAndTheTraceGoesOn)
{
    ASSERT_TRUE(topology->r2.DropIcmp("output", "time-exceeded")) << "nftables is needed";
    std::vector<std::string> lines;
    int heading = 0;
    ASSERT_NO_FATAL_FAILURE(TraceTarget(lines, heading));
    EXPECT_EQ(lines[2], " Hop #2: * * * (no answer)");
    EXPECT_EQ(Attributes(heading + 2), std::make_pair(false, QRgb(Transcript::MutedRgb)));
    EXPECT_TRUE(IsHop(lines[3], 3, "10.201.3.2: ")) << lines[3];
    EXPECT_EQ(Rows(), 2);
    EXPECT_FALSE(Busy());
}

TEST_F(RouteTraceCommand, StopReachesATraceWaitingOnASilentRouter)
{
    ASSERT_TRUE(topology->r2.DropIcmp("output", "time-exceeded")) << "nftables is needed";
    // Stop is clicked as soon as the window gets to process messages again.
    OnLine(" Hop #1: ", [this] { QTimer::singleShot(0, window->bStop, &QToolButton::click); });
    Click(window->bTrace);

    const auto lines = Lines();
    const int heading = IndexOf("Attempting to TRACE 10.201.3.2...");
    ASSERT_EQ(lines.size(), size_t(heading) + 4) << lines.back();
    EXPECT_EQ(lines[lines.size() - 2], "CANCELLED!");
    EXPECT_EQ(lines.back(), "Socket Closed");
    EXPECT_EQ(IndexOf("Trace complete: Total HOP Count is 3."), -1);
    EXPECT_EQ(Rows(), 1);
    EXPECT_FALSE(Busy());
}

TEST_F(TraceCommand, AnUnreachableAnswerEndsTheTraceAndAnEchoReplyFromAnotherAddressCompletesIt)
{
    icmp->Script = [](const testsupport::FakeIcmp::Echo& e) {
        return e.ttl == 1 ? testsupport::FakeIcmp::Answer{IP_TTL_EXPIRED_TRANSIT, "10.0.0.1", 2}
                          : testsupport::FakeIcmp::Answer{IP_DEST_HOST_UNREACHABLE, "10.0.0.2", 3};
    };
    Type(window->hostname, "10.5.5.5");
    Click(window->bTrace);
    EXPECT_EQ(icmp->sent.size(), 2u) << "no probing on to the hop limit";
    const auto lines = Lines();
    EXPECT_EQ(lines[lines.size() - 2], " Hop #2: 10.0.0.2: 3ms: Destination host unreachable (11003)");
    EXPECT_EQ(lines.back(), "Trace ended at hop 2: Destination host unreachable.");
    EXPECT_EQ(Rows(), 2);
    EXPECT_FALSE(Busy());

    // An echo reply from another address of the target completes the trace.
    icmp->sent.clear();
    icmp->Script = [](const testsupport::FakeIcmp::Echo&) { return testsupport::FakeIcmp::Answer{0, "127.0.0.1", 0}; };
    Type(window->hostname, "0.0.0.0");
    Click(window->bTrace);
    EXPECT_EQ(icmp->sent.size(), 1u);
    EXPECT_EQ(Lines().back(), "Trace complete: Total HOP Count is 1.");
    EXPECT_FALSE(Busy());
}

TEST_F(TraceCommand, ASilentHopIsProbedThriceAndGetsAMutedLine)
{
    icmp->Route({"10.0.0.1", ""});
    Type(window->hostname, "10.5.5.5");
    Click(window->bTrace);
    EXPECT_EQ(icmp->sent.size(), 5u);
    const auto lines = Lines();
    const int heading = IndexOf("Attempting to TRACE 10.5.5.5...");
    ASSERT_EQ(lines.size(), size_t(heading) + 5);
    EXPECT_EQ(lines[size_t(heading) + 1], " Hop #1: 10.0.0.1: 1ms");
    EXPECT_EQ(lines[size_t(heading) + 2], " Hop #2: * * * (no answer)");
    EXPECT_EQ(Attributes(heading + 2), std::make_pair(false, QRgb(0x808080)));
    EXPECT_EQ(lines[size_t(heading) + 3], " Hop #3: 10.5.5.5: 1ms");
    EXPECT_EQ(Attributes(heading + 3), std::make_pair(false, QRgb(0x000000)));
    EXPECT_EQ(Rows(), 2) << "a silent hop has a line, not a row";
}

TEST_F(TraceCommand, AddingAHostWhileCheckedHostsAreTracedTracesEachCheckedAddress)
{
    for (const auto& [name, address] : {std::pair{"one", "127.0.0.2"}, std::pair{"two", "127.0.0.3"}}) {
        auto* entry = new QTreeWidgetItem(window->hosts, QStringList{name, address, "", ""});
        entry->setCheckState(0, Qt::Checked);
    }
    // During the first trace the user adds an entry: the list is rebuilt.
    bool added = false;
    icmp->Script = [&](const testsupport::FakeIcmp::Echo&) {
        if (!added) {
            added = true;
            Type(window->savename, "three");
            Click(window->bAdd);
        }
        return testsupport::FakeIcmp::Answer{};
    };
    window->trace_checked->trigger();
    ASSERT_TRUE(added);
    ASSERT_EQ(icmp->sent.size(), 2u);
    EXPECT_EQ(icmp->sent[1].to, "127.0.0.3") << "the second checked address, taken before the rebuild";
    EXPECT_GE(IndexOf("Attempting to TRACE 127.0.0.3..."), 0);
}

TEST_F(TraceCommand, StopAndClosingReachATraceAtEveryProbeOfASilentHop)
{
    icmp->Route({"10.0.0.1", "", "", "", ""});
    Type(window->hostname, "10.5.5.5");
    size_t stopAt = 0;
    icmp->Script = [&, route = icmp->Script](const testsupport::FakeIcmp::Echo& e) {
        if (e.ttl == 2 && !stopAt) {
            stopAt = icmp->sent.size();
            QTimer::singleShot(0, window->bStop, &QToolButton::click);
        }
        return route(e);
    };
    Click(window->bTrace);
    EXPECT_EQ(icmp->sent.size(), stopAt) << "no probe after the one that saw Stop";
    EXPECT_FALSE(Busy());

    // Closing the window ends a trace and the remaining checked hosts.
    for (const char* address : {"10.5.5.6", "10.5.5.7"}) {
        auto* entry = new QTreeWidgetItem(window->hosts, QStringList{address, address, "", ""});
        entry->setCheckState(0, Qt::Checked);
    }
    icmp->sent.clear();
    stopAt = 0;
    icmp->Route({"10.0.0.1", "", "", "", ""});
    icmp->Script = [&, route = icmp->Script](const testsupport::FakeIcmp::Echo& e) {
        if (e.ttl == 3 && !stopAt) {
            stopAt = icmp->sent.size();
            window->close();
        }
        return route(e);
    };
    window->trace_checked->trigger();
    EXPECT_EQ(icmp->sent.size(), stopAt);
    EXPECT_EQ(IndexOf("Attempting to TRACE 10.5.5.7..."), -1);
}

TEST_F(TraceCommand, AFailedLogSaveIsSaidOnceAndTheTraceGoesOn)
{
    Store("log_transactions", "0");
    window.reset();
    Open();
    window->Record().SetLogFolder("/nonexistent/vexmor-logs");
    icmp->Route({"10.0.0.1", "10.0.0.2"});
    Type(window->hostname, "10.5.5.5");
    Click(window->bTrace);
    EXPECT_EQ(Lines().back(), "Trace complete: Total HOP Count is 3.");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("/nonexistent/vexmor-logs/VexmorPingLog.rtf"), std::string::npos) << errors[0];
    EXPECT_GE(IndexOf("Logging is switched off for this run: the log file could not be written."), 0);
    EXPECT_FALSE(Busy());
}
