#include "support/SocketFixture.h"
#include "support/Raised.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "support/PrivateHosts.h"
#include "support/SilentPort.h"
#include "tcpip/T_Time.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <unistd.h>
#include <cstdlib>
#include <ctime>

using testsupport::ScriptServer;

namespace {

class TimeClient : public SocketFixture {
protected:
    // The answer of a server that sends bytes and closes, as text.
    std::string Ask(const std::string& bytes, t_timemode mode = tzUTC)
    {
        ScriptServer server({ScriptServer::Send(bytes), ScriptServer::Close()});
        T_Time time;
        time.Hostname = "127.0.0.1";
        time.RemotePort = server.port();
        time.TimeMode = mode;
        try {
            time.DoAction();
        } catch (const ETcpIpError& e) {
            return e.Message;
        }
        return Text(time.DateTime);
    }
    static std::string Text(double value)
    {
        const auto ms = qint64(std::llround(value * 86400000.0));
        return QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC)
            .addMSecs(ms)
            .toString("yyyy-MM-dd hh:mm:ss")
            .toStdString();
    }
};

} // namespace

TEST_F(TimeClient, FourBytesAreSecondsSince1900PastThe2036WrapAndAnythingElseIsAnError)
{
    EXPECT_EQ(Ask("\xEB\x27\xC4\xA0"), "2025-01-07 15:20:00");
    EXPECT_EQ(Ask("\xFF\xFF\xFF\xFF"), "2036-02-07 06:28:15");
    // After the 32-bit count runs out it starts again at 0: that is 2036, not 1900.
    EXPECT_EQ(Ask(std::string(4, '\0')), "2036-02-07 06:28:16");
    EXPECT_EQ(Ask(std::string("\x00\x01\x51\x80", 4)), "2036-02-08 06:28:16");
    // Old inetd services add four zero bytes; anything else is an error.
    EXPECT_EQ(Ask(std::string("\xEB\x27\xC4\xA0\0\0\0\0", 8)), "2025-01-07 15:20:00");
    EXPECT_EQ(Ask(""), "127.0.0.1 sent 0 bytes where a time server sends exactly 4; it may not be an RFC 868 "
                       "time server (TCP port 37).");
    for (const std::string& bytes : {std::string("\x01\x02\x03"), std::string("\xEB\x27\xC4\xA0\0\0\0\x01", 8),
                                     std::string("\xEB\x27\xC4\xA0\x01")})
        EXPECT_EQ(Ask(bytes).rfind("127.0.0.1 sent " + std::to_string(bytes.size()) + " bytes", 0), 0u) << bytes.size();
    EXPECT_EQ(Ask("HTTP/1.0 200 OK\r\n").rfind("127.0.0.1 sent more than 8 bytes", 0), 0u);
}

TEST_F(TimeClient, LocalTimeSubtractsTheZoneBias)
{
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    ::setenv("TZ", "CET-1", 1);
    ::tzset();
    const std::string local = Ask("\xEB\x27\xC4\xA0", tzLocal);
    if (saved)
        ::setenv("TZ", before.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(local, "2025-01-07 16:20:00");
}

// A server that sends its answer and keeps the connection open gets a moment
// to close; then what it sent is the time, long before the reply time-out.
TEST_F(TimeClient, AServerThatDoesNotCloseStillGivesTheTime)
{
    for (const std::string& answer : {std::string("\xEB\x27\xC4\xA0"), std::string("\xEB\x27\xC4\xA0\0\0\0\0", 8)}) {
        ScriptServer server({ScriptServer::Send(answer), ScriptServer::Hold()});
        T_Time time;
        time.Hostname = "127.0.0.1";
        time.RemotePort = server.port();
        time.DoAction();
        EXPECT_EQ(Text(time.DateTime), "2025-01-07 15:20:00") << answer.size() << " bytes";
    }
}

TEST_F(TimeClient, ASilentServerTimesOutAndTwoQueriesInARowWork)
{
    ScriptServer silent({ScriptServer::Hold()});
    T_Time time;
    time.Hostname = "127.0.0.1";
    time.RemotePort = silent.port();
    time.ReplyTimeoutMs = 300;
    const std::string silence = testsupport::Raised<ETcpIpError>([&] { time.DoAction(); });
    EXPECT_NE(silence.find("did not answer within"), std::string::npos) << silence;
    ScriptServer server({ScriptServer::Send("\xEB\x27\xC4\xA0"), ScriptServer::Close()});
    time.RemotePort = server.port();
    time.DoAction();
    time.DoAction();
    EXPECT_EQ(Text(time.DateTime), "2025-01-07 15:20:00");
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(TimeClient, ARealTimeServerAgreesWithThisMachinesClock)
{
    testsupport::TimeServer xinetd;
    SKIP_UNLESS_RUNNING(xinetd);
    T_Time time;
    time.Hostname = "127.0.0.1";
    time.RemotePort = xinetd.port();
    time.DoAction();
    const double now = 25569.0 + double(std::time(nullptr)) / 86400.0; // 1970-01-01 is day 25569
    EXPECT_LT(std::fabs(time.DateTime - now) * 86400.0, 2.0) << Text(time.DateTime);
}

TEST_F(TimeClient, AServerOnIPv6IsReachedAndASilentOneEndsInABoundedErrorWithWords)
{
    testsupport::TimeServer xinetd("::1");
    SKIP_UNLESS_RUNNING(xinetd);
    for (const char* host : {"::1", "[::1]"}) {
        T_Time time;
        std::vector<std::string> trace;
        time.OnTrace = [&](const std::string& s, TTraceLevel) { trace.push_back(s); };
        time.Hostname = host;
        time.RemotePort = xinetd.port();
        time.DoAction();
        const double now = 25569.0 + double(std::time(nullptr)) / 86400.0;
        EXPECT_LT(std::fabs(time.DateTime - now) * 86400.0, 2.0) << host << " " << Text(time.DateTime);
        EXPECT_EQ(time.PeerAddress.Text(), "::1");
        EXPECT_EQ(time.IPAddress, 0xFFFFFFFFu) << "no IPv4 value for an IPv6 peer";
        EXPECT_EQ(trace.front().rfind("Opened output socket " + std::to_string(int16_t(xinetd.port())) + " to host ::1", 0),
                  0u);
    }

    testsupport::SilentPort silent("::1");
    ASSERT_EQ(silent.Problem(), "");
    T_Time time;
    time.Hostname = "::1";
    time.RemotePort = silent.port();
    time.ReplyTimeoutMs = 400;
    EXPECT_EQ(testsupport::Raised<ETcpIpError>([&] { time.DoAction(); }),
              "::1 did not answer within 0.4 seconds while connecting to port " + std::to_string(silent.port()) +
                  ". The server may be down or overloaded; check the host name and try again later.");
    EXPECT_FALSE(time.Connected());

    // Refused everywhere: each address says why.
    const uint16_t closed = testsupport::ClosedPort();
    time.Hostname = "127.0.0.1";
    time.RemotePort = closed;
    EXPECT_EQ(testsupport::Raised<ESocketError>([&] { time.DoAction(); }),
              "Error creating socket: connection refused by 127.0.0.1:" + std::to_string(closed));
}

TEST_F(TimeClient, ANameWithASilentIPv6AddressAndALiveIPv4OneIsReachedOverIPv4)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a private hosts file naming both addresses";
    testsupport::TimeServer xinetd; // 127.0.0.1
    SKIP_UNLESS_RUNNING(xinetd);
    testsupport::SilentPort silent("::1", xinetd.port());
    ASSERT_EQ(silent.Problem(), "");
    // Looked up on this thread (T_TcpIp resolves on the caller's), so the
    // private hosts file is what it reads.
    testsupport::PrivateHosts hosts("::1 dual.vexmor.test\n127.0.0.1 dual.vexmor.test\n");
    if (!hosts.Failure().empty())
        GTEST_SKIP() << hosts.Failure();
    T_Time time;
    std::vector<std::string> trace;
    time.OnTrace = [&](const std::string& s, TTraceLevel) { trace.push_back(s); };
    time.Hostname = "dual.vexmor.test";
    time.RemotePort = xinetd.port();
    time.Order = AddressOrder::IPv6First;
    // Well short of the silent address's own time-out: only trying the next
    // address meanwhile gets the answer.
    time.ReplyTimeoutMs = 5000;
    const auto started = std::chrono::steady_clock::now();
    time.DoAction();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(time.PeerAddress.Text(), "127.0.0.1");
    EXPECT_NE(time.DateTime, 0.0);
    std::cout << "connected over IPv4 after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms\n";
}
