#include "platform/winsock.h"
#include "sock/AddressHelpers.h"
#include "sock/SocketErrorText.h"
#include "support/IsolatedNetwork.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

class AddressHelpers : public ::testing::Test {
protected:
    void SetUp() override { StartAddressHelpers(); }
    void TearDown() override { EndAddressHelpers(); }
};

} // namespace

TEST_F(AddressHelpers, DottedTextAndNamesResolveFailuresAreAllOnesAndTextHasTheHighOctetFirst)
{
    const std::pair<std::string, uint32_t> resolved[] = {{"", NoAddress},
                                                         {std::string(70, 'z') + ".invalid", NoAddress},
                                                         {"10.1.2.3", htonl(0x0A010203)},
                                                         {"127.0.0.1", htonl(INADDR_LOOPBACK)},
                                                         {"localhost", htonl(INADDR_LOOPBACK)}};
    for (const auto& [text, address] : resolved)
        EXPECT_EQ(ResolveAddress(text), address) << text;
    const std::pair<uint32_t, const char*> dotted[] = {
        {htonl(0x7F000001), "127.0.0.1"}, {htonl(0x0A000005), "10.0.0.5"}, {0, "0.0.0.0"}, {0xFFFFFFFFu, "255.255.255.255"}};
    for (const auto& [address, text] : dotted)
        EXPECT_EQ(DottedAddress(address), text);
}

TEST_F(AddressHelpers, ReverseLookupFindsNamesAndFallsBackToDottedText)
{
    EXPECT_EQ(ReverseLookup(htonl(INADDR_LOOPBACK)), "localhost");

    const std::string why = testsupport::NamespaceSkipReason();
    if (!why.empty())
        GTEST_SKIP() << "fallback case " << why;
    // In an empty namespace no name server is reachable, so nothing is found.
    const int rc = testsupport::RunInIsolatedNetwork([] {
        return ReverseLookup(htonl(0x7F000002)) == "127.0.0.2" ? 0 : 1;
    });
    ASSERT_NE(rc, -1) << "could not create a network namespace";
    EXPECT_EQ(rc, 0);
}

TEST_F(AddressHelpers, LocalAddressIsTheHostsOwnAddressOrLoopback)
{
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    const uint32_t own = ResolveAddress(name);
    EXPECT_EQ(LocalAddress(), own == NoAddress ? htonl(INADDR_LOOPBACK) : own);
}

TEST(TimeZoneBias, FollowsTheZoneInForce)
{
    const char* saved = std::getenv("TZ");
    const std::string restore = saved ? saved : "";
    const std::pair<const char*, int> zones[] = {
        {"UTC0", 0}, {"XST-3", -180}, {"YST+5", 300}, {"IST-5:30", -330}};
    for (const auto& [zone, bias] : zones) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(TimeZoneBias(), bias) << zone;
    }
    // A zone that keeps daylight saving all year shows the daylight bias.
    ::setenv("TZ", "AST+4ADT,0/0,J365/25", 1);
    ::tzset();
    EXPECT_EQ(TimeZoneBias(), 180);
    if (saved)
        ::setenv("TZ", restore.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(PosN, FindsTheNthOccurrenceAndCountsMissingOnes)
{
    EXPECT_EQ(PosN(",", "10,0,0,5,4,1", 4), 9);
    EXPECT_EQ(PosN(",", "10,0,0,5,4,1", 1), 3);
    EXPECT_EQ(PosN(",", "a,b", 3), 5);
    EXPECT_EQ(PosN("aa", "aaaa", 1), 1);
    EXPECT_EQ(PosN("aa", "aaaa", 3), 3) << "occurrences overlap";
    EXPECT_EQ(PosN("aa", "aaaa", 4), 5);
    EXPECT_EQ(PosN(",", "abc", 0), 0);
    EXPECT_EQ(PosN("", "abc", 2), 5) << "an empty search text is never found";
}

TEST(SocketErrorText, NamesEveryWinsockCodeAndNothingElse)
{
    EXPECT_EQ(SocketErrorText(10061), "WSAECONNREFUSED");
    EXPECT_EQ(SocketErrorText(11001), "WSAHOST_NOT_FOUND");
    EXPECT_EQ(SocketErrorText(10093), "WSANOTINITIALISED");
    EXPECT_EQ(SocketErrorText(10101), "WSAEDISCON");
    EXPECT_EQ(SocketErrorText(10000), "UNKNOWN ERROR");
    EXPECT_EQ(SocketErrorText(0), "UNKNOWN ERROR");
    EXPECT_EQ(SocketErrorText(-1), "UNKNOWN ERROR");

    int named = 0;
    for (int code = 9000; code < 12000; ++code) {
        const std::string name = SocketErrorText(code);
        if (name != "UNKNOWN ERROR") {
            ++named;
            EXPECT_EQ(name.rfind("WSA", 0), 0u) << code;
        }
    }
    EXPECT_EQ(named, 51);
}
