#include "platform/ws2tcpip.h"
#include "sock/AddressHelpers.h"
#include "sock/NameResolver.h"
#include "support/Loopback.h"
#include "support/PrivateHosts.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <optional>
#include <set>

#include <gtest/gtest.h>

using testsupport::MessageLog;
using testsupport::PumpUntil;

namespace {

class NetAddresses : public ::testing::Test {
protected:
    void SetUp() override { StartAddressHelpers(); }
    void TearDown() override { EndAddressHelpers(); }
};

// A name with both families and one whose IPv6 address leads nowhere, in a
// hosts file of the test's own. Nothing here is ever sent to.
const char* const TestHosts = "127.0.0.1 localhost\n"
                              "::1 dual.vexmor.test\n"
                              "127.0.0.2 dual.vexmor.test\n"
                              "fd00:7665:786d::2 dual.vexmor.test\n"
                              "fd00:7665:786d::dead deadv6.vexmor.test\n"
                              "127.0.0.1 deadv6.vexmor.test\n";

std::vector<std::string> Texts(const std::vector<NetAddress>& addresses)
{
    std::vector<std::string> texts;
    for (const NetAddress& a : addresses)
        texts.push_back(a.Text());
    return texts;
}

// What the system's own resolver answers, in its order: the reference.
std::vector<std::string> SystemOrder(const char* name)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::vector<std::string> texts;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0)
        return texts;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        char host[NI_MAXHOST];
        ::getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
        texts.push_back(host);
    }
    ::freeaddrinfo(list);
    return texts;
}

} // namespace

TEST_F(NetAddresses, TextOfEitherFamilyWithBracketsZonesAndPortsParsesAndBadTextDoesNot)
{
    struct Case {
        const char* text;
        int family;
        const char* shown;
        uint16_t port;
    };
    const Case good[] = {{"127.0.0.1", AF_INET, "127.0.0.1", 0},
                         {"10.1.2.3:79", AF_INET, "10.1.2.3", 79},
                         {"::1", AF_INET6, "::1", 0},
                         {"[::1]", AF_INET6, "::1", 0},
                         {"[::1]:65535", AF_INET6, "::1", 65535},
                         {"2001:DB8:0:0::1", AF_INET6, "2001:db8::1", 0},
                         {"::ffff:127.0.0.1", AF_INET6, "::ffff:127.0.0.1", 0},
                         {"fe80::1%lo", AF_INET6, "fe80::1%lo", 0},
                         {"[fe80::1%lo]:21", AF_INET6, "fe80::1%lo", 21}};
    for (const Case& c : good) {
        const std::optional<NetAddress> a = NetAddress::FromText(c.text);
        ASSERT_TRUE(a) << c.text;
        EXPECT_EQ(a->Family(), c.family) << c.text;
        EXPECT_EQ(a->Text(), c.shown) << c.text;
        EXPECT_EQ(a->Port(), c.port) << c.text;
    }
    const NetAddress zoned = *NetAddress::FromText("[fe80::1%lo]:21");
    EXPECT_EQ(zoned.ScopeId(), ::if_nametoindex("lo"));
    EXPECT_EQ(zoned.TextWithPort(), "[fe80::1%lo]:21");
    EXPECT_EQ(NetAddress::FromText("fe80::1%1")->ScopeId(), 1u) << "a zone by number";
    EXPECT_EQ(NetAddress::FromText("127.0.0.1:79")->TextWithPort(), "127.0.0.1:79");

    // The 32-bit value and the socket address carry the same address.
    const NetAddress v4 = *NetAddress::FromText("10.1.2.3:79");
    EXPECT_EQ(v4.IPv4(), htonl(0x0A010203));
    EXPECT_EQ(NetAddress::FromIPv4(htonl(0x0A010203), 79), v4);
    EXPECT_EQ(NetAddress::FromText("::1")->IPv4(), NoAddress) << "no 32-bit value for IPv6";
    sockaddr_storage sa;
    const NetAddress v6 = *NetAddress::FromText("[::1]:25");
    ASSERT_EQ(v6.ToSockaddr(sa), socklen_t(sizeof(sockaddr_in6)));
    EXPECT_EQ(NetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&sa), sizeof(sockaddr_in6)), v6);
    EXPECT_FALSE(NetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&sa), sizeof(sockaddr_in))) << "cut short";

    for (const char* bad : {"", "localhost", "::1]", "[::1", "[127.0.0.1]", "[::1]79", "[::1]:", "[::1]:65536",
                            "::1:79x", "1.2.3", "256.1.1.1", "1.2.3.4:", "1.2.3.4:port", "gggg::1",
                            "fe80::1%no-such-interface", "1::2::3", "::1 "})
        EXPECT_FALSE(NetAddress::FromText(bad)) << bad;
    EXPECT_FALSE(NetAddress().IsValid());
    EXPECT_EQ(NetAddress().Text(), "");
}

TEST_F(NetAddresses, ANameGivesEveryAddressOfBothFamiliesInTheOrderAsked)
{
    testsupport::PrivateHosts hosts(TestHosts);
    if (!hosts.Failure().empty())
        GTEST_SKIP() << hosts.Failure();

    const std::vector<std::string> system = SystemOrder("dual.vexmor.test");
    ASSERT_EQ(std::set<std::string>(system.begin(), system.end()),
              (std::set<std::string>{"::1", "127.0.0.2", "fd00:7665:786d::2"}));
    EXPECT_EQ(Texts(ResolveAll("dual.vexmor.test", AddressOrder::System)), system);

    // Each family keeps the system's order within it.
    std::vector<std::string> v6 = system;
    v6.erase(std::remove(v6.begin(), v6.end(), "127.0.0.2"), v6.end());
    std::vector<std::string> v4First{"127.0.0.2"}, v6First = v6;
    v4First.insert(v4First.end(), v6.begin(), v6.end());
    v6First.push_back("127.0.0.2");
    EXPECT_EQ(Texts(ResolveAll("dual.vexmor.test", AddressOrder::IPv4First)), v4First);
    EXPECT_EQ(Texts(ResolveAll("DUAL.vexmor.test", AddressOrder::IPv6First)), v6First);

    // A dead IPv6 address beside a live IPv4 one: both come, and IPv4 first
    // puts the live one ahead whatever the system's order.
    const auto dead = ResolveAll("deadv6.vexmor.test", AddressOrder::IPv4First);
    EXPECT_EQ(Texts(dead), (std::vector<std::string>{"127.0.0.1", "fd00:7665:786d::dead"}));
    const auto deadSystem = Texts(ResolveAll("deadv6.vexmor.test", AddressOrder::System));
    EXPECT_EQ(deadSystem, SystemOrder("deadv6.vexmor.test"));

    // The IPv4 path sees only its own family, whatever the order asked.
    EXPECT_EQ(DottedAddress(ResolveAddress("deadv6.vexmor.test")), "127.0.0.1");

    // Reverse look-ups of both families, and the text when there is no name.
    EXPECT_EQ(ReverseName(*NetAddress::FromText("::1")), "dual.vexmor.test");
    EXPECT_EQ(ReverseName(*NetAddress::FromText("fd00:7665:786d::dead")), "deadv6.vexmor.test");
    EXPECT_EQ(ReverseName(*NetAddress::FromText("127.0.0.2")), "dual.vexmor.test");
    EXPECT_EQ(ReverseName(*NetAddress::FromText("fd00:7665:786d::77")), "fd00:7665:786d::77");

    // Literals are taken as typed, with no look-up; failures say why.
    EXPECT_EQ(Texts(ResolveAll("[::1]:79", AddressOrder::IPv4First)), (std::vector<std::string>{"::1"}));
    int error = 0;
    EXPECT_TRUE(ResolveAll(std::string(70, 'n') + ".invalid", AddressOrder::System, &error).empty());
    EXPECT_EQ(error, WSAHOST_NOT_FOUND);
    EXPECT_TRUE(ResolveAll("", AddressOrder::System, &error).empty());
    EXPECT_EQ(error, WSAHOST_NOT_FOUND);
}

TEST_F(NetAddresses, TheAsynchronousLookupPostsEveryAddressItHasRoomFor)
{
    MessageLog log;
    SOCKADDR_INET found[4]{};
    // A literal of each family needs no server and no hosts file.
    HANDLE_TASK task = winsock::WSAAsyncGetAddrInfo(&log.window(), WM_USER, "::1", AF_UNSPEC, found, 4);
    ASSERT_NE(task, 0u);
    ASSERT_TRUE(PumpUntil([&] { return !log.messages().empty(); }));
    EXPECT_EQ(log.messages()[0].WParam, task);
    EXPECT_EQ(LOWORD(log.messages()[0].LParam), 1u);
    EXPECT_EQ(HIWORD(log.messages()[0].LParam), 0u);
    EXPECT_EQ(NetAddress::FromSockaddr(reinterpret_cast<sockaddr*>(&found[0]), SockaddrLength(found[0]))->Text(),
              "::1");

    // No room past the count given; the rest of the array stays as it was.
    SOCKADDR_INET one[2]{};
    task = winsock::WSAAsyncGetAddrInfo(&log.window(), WM_USER, "127.0.0.1", AF_INET, one, 1);
    ASSERT_TRUE(PumpUntil([&] { return log.messages().size() == 2; }));
    EXPECT_EQ(LOWORD(log.messages()[1].LParam), 1u);
    EXPECT_EQ(one[0].Ipv4.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(one[1].si_family, 0);

    // An IPv6 literal asked for as IPv4 has no address; unknown names none either.
    winsock::WSAAsyncGetAddrInfo(&log.window(), WM_USER, "::1", AF_INET, found, 4);
    const std::string unknown = std::string(70, 'q') + ".invalid";
    winsock::WSAAsyncGetAddrInfo(&log.window(), WM_USER, unknown.c_str(), AF_UNSPEC, found, 4);
    ASSERT_TRUE(PumpUntil([&] { return log.messages().size() == 4; }));
    for (size_t i = 2; i < 4; ++i) {
        EXPECT_EQ(LOWORD(log.messages()[i].LParam), 0u);
        EXPECT_NE(HIWORD(log.messages()[i].LParam), 0u);
    }
    EXPECT_EQ(winsock::WSAAsyncGetAddrInfo(&log.window(), WM_USER, "::1", AF_UNIX, found, 4), 0u);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEAFNOSUPPORT);
}
