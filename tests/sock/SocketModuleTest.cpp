#include "platform/winsock.h"
#include "sock/ESockException.h"
#include "sock/HostNameCache.h"
#include "sock/SocketModule.h"
#include "support/Raised.h"

#include <gtest/gtest.h>

TEST(SocketModule, KeepsTheStartupTextsAndCountsNestedStarts)
{
    StartSocketModule();
    StartSocketModule();
    EXPECT_NE(WinsockDescription().find("Linux"), std::string::npos);
    EXPECT_EQ(WinsockSystemStatus(), "Running");
    EndSocketModule();
    const SOCKET s = winsock::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_NE(s, INVALID_SOCKET) << "the nested start did not start twice";
    winsock::closesocket(s);
    EndSocketModule();
    EXPECT_EQ(winsock::socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
}

TEST(SocketModule, AStartupFailureRaisesTheExactMessage)
{
    winsock::testing::FailStartupWith(WSASYSNOTREADY);
    EXPECT_EQ(testsupport::Raised<ESockException>([] { StartSocketModule(); }), "WSAStartup - Could Not Initialize WinSock");
    winsock::testing::FailStartupWith(0);
    StartSocketModule();
    EXPECT_EQ(WinsockSystemStatus(), "Running");
    EndSocketModule();
}

TEST(HostNameCache, MatchesNamesInAnyLetterCase)
{
    HostNameCache cache;
    EXPECT_FALSE(cache.Find("mail.example"));
    cache.Add("Mail.Example", 0x01020304u);
    ASSERT_TRUE(cache.Find("mail.EXAMPLE"));
    EXPECT_EQ(*cache.Find("MAIL.example"), 0x01020304u);
    EXPECT_FALSE(cache.Find("mail.example.org"));
}
