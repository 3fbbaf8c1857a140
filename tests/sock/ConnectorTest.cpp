#include "sock/Connector.h"
#include "support/Loopback.h"
#include "support/SilentPort.h"
#include "support/SocketFixture.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace testsupport;

namespace {

class ConnectorTest : public SocketFixture {
protected:
    // Steps the connector until it is done or a generous bound passes; no
    // test here depends on how fast it gets there.
    static void Drive(Connector& c, int boundMs = 10000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
        while (!c.Done() && std::chrono::steady_clock::now() < end)
            c.Step(20);
    }
    static NetAddress At(const std::string& text) { return *NetAddress::FromText(text); }
};

TEST_F(ConnectorTest, ASilentFirstAddressHandsOverToTheNextAndIsClosed)
{
    const auto [silent, live] = OnOnePort<SilentPort, LoopbackListener>("::1", "127.0.0.1");
    ASSERT_EQ(silent->Problem(), "");
    ASSERT_EQ(live->port(), silent->port());

    Connector c({At("::1"), At("127.0.0.1")}, silent->port());
    std::vector<std::string> started;
    int failures = 0;
    c.OnAttempt = [&](const NetAddress& a, int error) {
        if (error == 0)
            started.push_back(a.Text());
        else
            ++failures;
    };
    Drive(c);
    ASSERT_TRUE(c.Connected()) << c.FailureText();
    EXPECT_EQ(c.Peer().Text(), "127.0.0.1");
    EXPECT_EQ(c.Peer().Port(), silent->port());
    EXPECT_EQ(started, (std::vector<std::string>{"::1", "127.0.0.1"}));
    EXPECT_EQ(failures, 0) << "the silent attempt is closed, not reported as failed";
    const SOCKET s = c.Take();
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(c.Take(), INVALID_SOCKET) << "the socket is handed out once";
    winsock::closesocket(s);
}

TEST_F(ConnectorTest, ARefusedAddressGivesItsTurnAwayAtOnceAndAllRefusedSaysWhyForEach)
{
    LoopbackListener live("::1");
    const uint16_t closed = ClosedPort();
    {
        // Refused on 127.0.0.1 then live on ::1 (same port number is not needed: the
        // refusal comes from another port's owner on the first address).
        LoopbackListener v6("::1", closed);
        Connector c({At("127.0.0.1"), At("::1")}, closed);
        Drive(c);
        ASSERT_TRUE(c.Connected()) << c.FailureText();
        EXPECT_EQ(c.Peer().Text(), "::1");
        EXPECT_NE(c.FailureText().find("connection refused by 127.0.0.1:" + std::to_string(closed)),
                  std::string::npos)
            << c.FailureText();
    }
    Connector c({At("127.0.0.1"), At("::1")}, closed);
    Drive(c);
    EXPECT_TRUE(c.Done());
    EXPECT_FALSE(c.Connected());
    EXPECT_EQ(c.Error(), WSAECONNREFUSED);
    EXPECT_EQ(c.FailureText(), "connection refused by 127.0.0.1:" + std::to_string(closed) +
                                   "; connection refused by [::1]:" + std::to_string(closed));
    EXPECT_EQ(c.Take(), INVALID_SOCKET);
}

TEST_F(ConnectorTest, SilentAddressesKeepItUnfinishedUntilTheCallerGivesUp)
{
    const auto [a, b] = OnOnePort<SilentPort, SilentPort>("::1", "127.0.0.1");
    ASSERT_EQ(a->Problem(), "");
    ASSERT_EQ(b->Problem(), "");
    Connector c({At("::1"), At("127.0.0.1")}, a->port());
    int started = 0;
    c.OnAttempt = [&](const NetAddress&, int error) { started += error == 0; };
    // The second starts while the first is still under way, and neither
    // ends the attempt on its own.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(10000);
    while (started < 2 && std::chrono::steady_clock::now() < end)
        c.Step(20);
    EXPECT_EQ(started, 2);
    EXPECT_FALSE(c.Done());
    c.Abandon();
    EXPECT_TRUE(c.Done());
    EXPECT_FALSE(c.Connected());
}

TEST_F(ConnectorTest, NoAddressIsDoneAtOnce)
{
    Connector c({}, 79);
    EXPECT_TRUE(c.Done());
    c.Step(10);
    EXPECT_FALSE(c.Connected());
}

} // namespace
