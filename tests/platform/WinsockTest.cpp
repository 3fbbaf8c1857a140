#include "platform/linux/HostEntry.h"
#include "platform/winsock.h"
#include "platform/ws2tcpip.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace {

class Winsock : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(winsock::WSAStartup(0x0101, &data), 0); }
    void TearDown() override { winsock::WSACleanup(); }
    WSADATA data;
};

} // namespace

TEST(WinsockStartup, CallsBeforeStartupFailStartsAreCountedAndReportVersionAndStatus)
{
    EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(winsock::WSAGetLastError(), WSANOTINITIALISED);

    WSADATA a, b;
    ASSERT_EQ(winsock::WSAStartup(0x0101, &a), 0);
    ASSERT_EQ(winsock::WSAStartup(0x0101, &b), 0);
    EXPECT_EQ(winsock::WSACleanup(), 0);
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET) << "one start is still outstanding";
    winsock::closesocket(s);
    EXPECT_EQ(winsock::WSACleanup(), 0);
    EXPECT_EQ(winsock::WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSANOTINITIALISED);

    WSADATA d;
    ASSERT_EQ(winsock::WSAStartup(0x0101, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);
    EXPECT_NE(d.szDescription.find("Linux"), std::string::npos) << d.szDescription;
    EXPECT_EQ(d.szSystemStatus, "Running");
    winsock::WSACleanup();

    EXPECT_EQ(winsock::WSAStartup(0x0001, &d), WSAVERNOTSUPPORTED);
    winsock::testing::FailStartupWith(WSASYSNOTREADY);
    EXPECT_EQ(winsock::WSAStartup(0x0101, &d), WSASYSNOTREADY);
    winsock::testing::FailStartupWith(0);
    EXPECT_EQ(winsock::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET)
        << "a failed start-up must not count";
}

TEST(WinsockErrors, ErrnoAndResolverResultsMapToWinsockCodes)
{
    const std::pair<int, int> table[] = {
        {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {EHOSTUNREACH, 10065},
        {ENETUNREACH, 10051}, {ECONNRESET, 10054}, {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10035}, {EADDRINUSE, 10048}, {ENOTCONN, 10057}, {EMSGSIZE, 10040},
        {EAFNOSUPPORT, 10047}, {EACCES, 10013}, {EPIPE, 10054}, {ENOTSOCK, 10038},
        {EISCONN, 10056}, {EALREADY, 10037}, {ENAMETOOLONG, 10063}, {0, 0}};
    for (const auto& [err, code] : table)
        EXPECT_EQ(WinsockErrorFromErrno(err), code) << "errno " << err;
    EXPECT_EQ(WinsockErrorFromResolver(EAI_NONAME, 0), WSAHOST_NOT_FOUND);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_AGAIN, 0), WSATRY_AGAIN);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_FAIL, 0), WSANO_RECOVERY);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_NODATA, 0), WSANO_DATA);
    EXPECT_EQ(WinsockErrorFromResolver(EAI_SYSTEM, ECONNREFUSED), WSAECONNREFUSED);
}

TEST_F(Winsock, RealFailuresCarryTheirCodes)
{
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    testsupport::LoopbackAddress closed(testsupport::ClosedPort());
    EXPECT_EQ(winsock::connect(s, closed.get(), 16), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAECONNREFUSED);
    winsock::closesocket(s);

    testsupport::Listener listener;
    const SOCKET c = winsock::socket(AF_INET, SOCK_STREAM, 0);
    testsupport::LoopbackAddress open(listener.port);
    ASSERT_EQ(winsock::connect(c, open.get(), 16), 0);
    unsigned long on = 1;
    ASSERT_EQ(winsock::ioctlsocket(c, FIONBIO_CMD, &on), 0);
    char buf[4];
    EXPECT_EQ(winsock::recv(c, buf, 4, 0), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEWOULDBLOCK);
    winsock::closesocket(c);

    EXPECT_EQ(winsock::send(INVALID_SOCKET, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(Winsock, BlockingModeIsRefusedWhileNotificationsAreRequested)
{
    testsupport::MessageLog log;
    const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(winsock::WSAAsyncSelect(s, &log.window(), WM_USER + 75, FD_READ), 0);
    unsigned long off = 0;
    EXPECT_EQ(winsock::ioctlsocket(s, FIONBIO_CMD, &off), SOCKET_ERROR);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEINVAL);
    ASSERT_EQ(winsock::WSAAsyncSelect(s, &log.window(), WM_USER + 75, 0), 0);
    EXPECT_EQ(winsock::ioctlsocket(s, FIONBIO_CMD, &off), 0);
    winsock::closesocket(s);
}

TEST_F(Winsock, LookupsAndAddressTexts)
{
    const hostent* h = winsock::gethostbyname("localhost");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->h_length, 4);
    uint32_t a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    EXPECT_EQ(a, htonl(INADDR_LOOPBACK));

    // A label longer than 63 characters cannot be put in a query, so the
    // resolver answers "not found" without asking any server.
    const std::string unknown = std::string(70, 'a') + ".invalid";
    EXPECT_EQ(winsock::gethostbyname(unknown.c_str()), nullptr);
    EXPECT_EQ(winsock::WSAGetLastError(), WSAHOST_NOT_FOUND);

    EXPECT_EQ(winsock::inet_addr("10.0.0.5"), htonl(0x0A000005));
    EXPECT_EQ(winsock::inet_addr("10.0.0.256"), INADDR_NONE_VALUE);
    EXPECT_EQ(winsock::inet_ntoa(htonl(0x7F000001)), "127.0.0.1");

    const servent* finger = winsock::getservbyname("finger", "tcp");
    if (finger) {
        EXPECT_EQ(ntohs(uint16_t(finger->s_port)), 79);
    }
    EXPECT_EQ(winsock::getservbyname("no-such-service", "tcp"), nullptr);
}

TEST(HostEntryPacking, AShortBufferIsReportedAndNeverOverrun)
{
    HostEntryData data{"host.example", {htonl(0x0A000001), htonl(0x0A000002)}};
    char buf[64];
    std::memset(buf, 0x5A, sizeof buf);
    const int needed = PackHostEntry(data, buf, 16);
    EXPECT_GT(needed, 16);
    for (char c : buf)
        ASSERT_EQ(c, 0x5A);

    std::vector<char> big(size_t(needed) + 8, 0x5A);
    EXPECT_EQ(PackHostEntry(data, big.data(), needed), needed);
    EXPECT_EQ(big[size_t(needed)], 0x5A);
    const hostent* h = reinterpret_cast<const hostent*>(big.data());
    EXPECT_STREQ(h->h_name, "host.example");
    EXPECT_EQ(winsock::HostEntryFirstAddress(big.data()), htonl(0x0A000001));
    uint32_t second;
    std::memcpy(&second, h->h_addr_list[1], 4);
    EXPECT_EQ(second, htonl(0x0A000002));
    EXPECT_EQ(h->h_addr_list[2], nullptr);
}

TEST_F(Winsock, TheWinsock2CallsLookUpBothFamiliesAndConvertTextWithWinsockCodes)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* list = nullptr;
    ASSERT_EQ(winsock::getaddrinfo("::1", "79", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_family, AF_INET6);
    char host[NI_MAXHOST], service[NI_MAXSERV];
    EXPECT_EQ(winsock::getnameinfo(list->ai_addr, list->ai_addrlen, host, sizeof host, service, sizeof service,
                                   NI_NUMERICHOST | NI_NUMERICSERV),
              0);
    EXPECT_STREQ(host, "::1");
    EXPECT_STREQ(service, "79");
    winsock::freeaddrinfo(list);

    EXPECT_EQ(winsock::getaddrinfo("localhost", nullptr, &hints, &list), WSAHOST_NOT_FOUND) << "numeric only";
    EXPECT_EQ(winsock::WSAGetLastError(), WSAHOST_NOT_FOUND);
    hints = addrinfo{};
    hints.ai_family = AF_UNIX;
    EXPECT_EQ(winsock::getaddrinfo("::1", nullptr, &hints, &list), WSAEAFNOSUPPORT);

    in6_addr a6{};
    EXPECT_EQ(winsock::inet_pton(AF_INET6, "fe80::1", &a6), 1);
    EXPECT_EQ(winsock::inet_pton(AF_INET6, "127.0.0.1", &a6), 0);
    EXPECT_EQ(winsock::inet_pton(AF_UNIX, "::1", &a6), SOCKET_ERROR);
    char text[INET6_ADDRSTRLEN];
    EXPECT_STREQ(winsock::inet_ntop(AF_INET6, &a6, text, sizeof text), "fe80::1");
    char tiny[4];
    EXPECT_EQ(winsock::inet_ntop(AF_INET6, &a6, tiny, sizeof tiny), nullptr) << "never past the buffer";
    EXPECT_EQ(winsock::WSAGetLastError(), WSAEFAULT);

    // Like every other call, nothing before start-up.
    winsock::WSACleanup();
    EXPECT_EQ(winsock::getaddrinfo("::1", nullptr, nullptr, &list), WSANOTINITIALISED);
    ASSERT_EQ(winsock::WSAStartup(0x0101, &data), 0);
}
