#include "WindowFixture.h"
#include "support/FakeIcmp.h"


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
    ASSERT_EQ(lines.size(), size_t(heading) + 4);
    for (int echo = 1; echo <= 2; ++echo) {
        const std::string prefix = "  ! 0: Packet #" + std::to_string(echo) + ": 127.0.0.1: ";
        EXPECT_EQ(lines[size_t(heading + echo)].rfind(prefix, 0), 0u) << lines[size_t(heading + echo)];
        EXPECT_EQ(lines[size_t(heading + echo)].substr(lines[size_t(heading + echo)].size() - 2), "ms");
    }
    EXPECT_EQ(lines.back(), "Ping complete: 2 packets sent.");
    EXPECT_EQ(Attributes(int(lines.size()) - 1), std::make_pair(true, QRgb(0x0000FF)));

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
    icmp->Script = [](const testsupport::FakeIcmp::Echo& e) {
        return e.ttl == 3 ? testsupport::FakeIcmp::Answer{IP_DEST_HOST_UNREACHABLE, "10.9.9.9", 0}
                          : testsupport::FakeIcmp::Answer{};
    };
    Type(window->time_to_live, "3");
    Type(window->packets, "1");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    ASSERT_EQ(icmp->sent.size(), 1u);
    EXPECT_EQ(icmp->sent[0].to, "127.0.0.1");
    EXPECT_EQ(icmp->sent[0].ttl, 3);
    const int heading = IndexOf("Attempting to PING 127.0.0.1...");
    EXPECT_EQ(Lines()[size_t(heading) + 1], "  . 11003");
    EXPECT_EQ(Attributes(heading + 1), std::make_pair(true, QRgb(0xFF0000)));
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
    EXPECT_EQ(errors, std::vector<std::string>{"No ICMP available"});
    EXPECT_EQ(IndexOf("Ping complete: 3 packets sent."), -1);
    EXPECT_FALSE(window->timer->isActive());

    Click(window->bTrace);
    EXPECT_EQ(errors.back(), "No ICMP.DLL found");
    EXPECT_FALSE(Busy());
}

TEST_F(PingCommand, APacketCountOfZeroSendsNothing)
{
    Type(window->packets, "0");
    window->pingsingle->trigger();
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(Lines().back(), "Ping complete: 0 packets sent.");
    EXPECT_EQ(Rows(), 0);
}

TEST_F(PingCommand, ChangingThePacketCountMovesTheEnd)
{
    Type(window->packets, "50");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Rows() >= 1; }));
    Type(window->packets, "3");
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(Lines().back(), "Ping complete: 3 packets sent.");
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

TEST_F(PingCommand, AFieldThatIsNotANumberStopsBeforeTheHeadingAndStaysBusy)
{
    Type(window->block_size, "6x4");
    const size_t before = Lines().size();
    Click(window->bPing);
    PumpFor(50);
    ASSERT_EQ(errors, std::vector<std::string>{"'6x4' is not a valid integer value"});
    EXPECT_EQ(Lines().size(), before) << "no heading";
    EXPECT_TRUE(Busy());
    EXPECT_FALSE(window->timer->isActive());
    Click(window->bStop);
    EXPECT_FALSE(Busy());
}

TEST_F(PingCommand, PacketsTurningInvalidMidRunIsReportedOnceAndTheRunWaitsForStop)
{
    Type(window->packets, "50");
    Click(window->bPing);
    ASSERT_TRUE(PumpUntil([&] { return Rows() >= 1; }));
    Type(window->packets, "many");
    PumpFor(400);
    EXPECT_EQ(errors, std::vector<std::string>{"'many' is not a valid integer value"});
    EXPECT_FALSE(window->timer->isActive());
    EXPECT_TRUE(Busy());
}

TEST_F(PingCommand, TheBlocksizeFieldKeepsItsLowByte)
{
    Type(window->packets, "1");
    Type(window->block_size, "300");
    Click(window->bPing);
    EXPECT_EQ(window->pingdata->Blocksize, 44);
    ASSERT_TRUE(PumpUntil([&] { return Idle(); }));
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(Row(0)[0], "!");
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
    int headings = 0;
    for (const std::string& l : lines)
        headings += l == "Attempting to PING 127.0.0.1...";
    EXPECT_EQ(headings, 2);
    EXPECT_EQ(lines.back(), "Ping complete.");
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Row(0), std::vector<std::string>(6, "")) << "checked-hosts rows stay empty";
    int answers = 0;
    for (const std::string& l : lines)
        answers += l.rfind("  ! 0: 127.0.0.1: ", 0) == 0 && l.substr(l.size() - 2) == "ms";
    EXPECT_EQ(answers, 2);
}

TEST_F(PingCommand, CheckedHostsWithNothingCheckedSendNothingAndStayBusy)
{
    const size_t before = Lines().size();
    window->ping_checked->trigger();
    PumpFor(200);
    EXPECT_EQ(Lines().size(), before);
    EXPECT_FALSE(window->timer->isActive());
    EXPECT_TRUE(Busy());
}
