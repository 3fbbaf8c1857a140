#include "support/ClientFixture.h"
#include "support/Raised.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "tcpip/T_FTP.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using testsupport::FileBytes;
using testsupport::FtpServer;
using testsupport::Pattern;
using testsupport::Raised;
using testsupport::ScriptServer;
using S = ScriptServer;

namespace {

class FtpClient : public ClientFixture {
protected:
    void Aim(T_FTP& ftp, uint16_t port, const std::string& user = "anonymous",
             const std::string& password = T_FTP::AnonymousPassword)
    {
        ftp.Hostname = "127.0.0.1";
        ftp.Port = port;
        ftp.Username = user;
        ftp.Password = password;
        ftp.ReplyTimeoutMs = ReplyTimeoutMs; // a real server may be slow to log in on a busy machine
        Follow(ftp);
    }
};

// What a server that knows no EPSV answers it; PASV then follows.
const char* const NoEpsv = "500 'EPSV': command not understood\r\n";

std::string PasvAnswer(const std::string& host, uint16_t port)
{
    return "227 Entering Passive Mode (" + host + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ")\r\n";
}

// A login the way a server accepts it, then what the test adds.
std::vector<ScriptServer::Step> LoggedIn(std::vector<ScriptServer::Step> rest)
{
    std::vector<S::Step> steps = {S::Send("220 hostile ready\r\n"), S::Expect(), S::Send("331 pw\r\n"), S::Expect(),
                                  S::Send("230 in\r\n"),           S::Expect(), S::Send("200 binary\r\n")};
    steps.insert(steps.end(), rest.begin(), rest.end());
    return steps;
}

// The end of a script: QUIT answered, so the client's goodbye costs no time-out.
std::vector<ScriptServer::Step> Bye(std::vector<ScriptServer::Step> steps)
{
    steps.insert(steps.end(), {S::Expect(), S::Send("221 bye\r\n"), S::Close()});
    return steps;
}

std::string EpsvAnswer(uint16_t port)
{
    return "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n";
}

int CountOf(const std::vector<std::string>& lines, const std::string& line)
{
    return int(std::count(lines.begin(), lines.end(), line));
}

// Plays the server's side of an active transfer: once the client has named
// its listening port (PORT or EPRT), connects to it from each of `from` in
// turn and sends what goes with it.
class ActivePeer {
public:
    ActivePeer(const ScriptServer& control, std::vector<std::pair<std::string, std::string>> from)
        : thread_([&control, from = std::move(from)] {
              uint16_t port = 0;
              const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
              while (port == 0 && std::chrono::steady_clock::now() < end) {
                  for (const std::string& line : control.Received())
                      if (const uint16_t named = PortNamed(line))
                          port = named;
                  std::this_thread::yield();
              }
              for (const auto& [address, bytes] : from)
                  Deliver(address, port, bytes);
          })
    {
    }
    ~ActivePeer() { thread_.join(); }

private:
    static uint16_t PortNamed(const std::string& line)
    {
        if (line.rfind("EPRT ", 0) == 0) {
            const size_t end = line.rfind('|');
            const size_t start = line.rfind('|', end - 1);
            return uint16_t(std::stoi(line.substr(start + 1, end - start - 1)));
        }
        if (line.rfind("PORT ", 0) == 0) {
            const size_t last = line.rfind(',');
            const size_t before = line.rfind(',', last - 1);
            return uint16_t(std::stoi(line.substr(before + 1, last - before - 1)) * 256 + std::stoi(line.substr(last + 1)));
        }
        return 0;
    }
    // From address (the connection's own end) to the same family's loopback.
    static void Deliver(const std::string& address, uint16_t port, const std::string& bytes)
    {
        const bool v6 = address.find(':') != std::string::npos;
        const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage me{}, to{};
        socklen_t length = sizeof(sockaddr_in);
        if (v6) {
            auto* m = reinterpret_cast<sockaddr_in6*>(&me);
            auto* t = reinterpret_cast<sockaddr_in6*>(&to);
            m->sin6_family = t->sin6_family = AF_INET6;
            ::inet_pton(AF_INET6, address.c_str(), &m->sin6_addr);
            t->sin6_addr = in6addr_loopback;
            t->sin6_port = htons(port);
            length = sizeof(sockaddr_in6);
        } else {
            auto* m = reinterpret_cast<sockaddr_in*>(&me);
            auto* t = reinterpret_cast<sockaddr_in*>(&to);
            m->sin_family = t->sin_family = AF_INET;
            m->sin_addr.s_addr = ::inet_addr(address.c_str());
            t->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            t->sin_port = htons(port);
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&me), length) == 0 &&
            ::connect(fd, reinterpret_cast<sockaddr*>(&to), length) == 0)
            (void)!::write(fd, bytes.data(), bytes.size());
        ::close(fd);
    }

    std::thread thread_;
};

} // namespace

TEST_F(FtpClient, EpsvComesFirstAndAServerThatRefusesItGetsPasvForTheRestOfTheConnection)
{
    for (const char* host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        ScriptServer data({S::Send("over EPSV"), S::Close()}, host);
        ScriptServer control(Bye(LoggedIn({S::Expect(), S::Send("213 9\r\n"), S::Expect(),
                                           S::Send(EpsvAnswer(data.port())), S::Expect(),
                                           S::Send("150 here\r\n226 done\r\n")})),
                             host);
        T_FTP ftp;
        Aim(ftp, control.port());
        ftp.Hostname = host;
        ftp.URI = "f";
        ftp.Download();
        EXPECT_EQ(ftp.ReceiveStream, "over EPSV");
        EXPECT_EQ(ftp.ProposedDataAddress, "") << "an EPSV answer names no address";
        ftp.Logout();
        const auto got = control.Received();
        EXPECT_EQ(CountOf(got, "EPSV"), 1);
        EXPECT_EQ(CountOf(got, "PASV"), 0);
    }
    // An older server: EPSV once, then PASV for every transfer on the connection.
    ScriptServer first({S::Send("one"), S::Close()});
    ScriptServer second({S::Send("two"), S::Close()});
    ScriptServer control(Bye(LoggedIn(
        {S::Expect(), S::Send("213 3\r\n"), S::Expect(), S::Send(NoEpsv), S::Expect(),
         S::Send(PasvAnswer("127,0,0,1", first.port())), S::Expect(), S::Send("150 here\r\n226 done\r\n"),
         S::Expect(), S::Send("213 3\r\n"), S::Expect(), S::Send(PasvAnswer("127,0,0,1", second.port())),
         S::Expect(), S::Send("150 here\r\n226 done\r\n")})));
    T_FTP ftp;
    Aim(ftp, control.port());
    for (const char* expected : {"one", "two"}) {
        ftp.URI = "f";
        ftp.Download();
        EXPECT_EQ(ftp.ReceiveStream, expected);
    }
    ftp.Logout();
    const auto got = control.Received();
    EXPECT_EQ(CountOf(got, "EPSV"), 1);
    EXPECT_EQ(CountOf(got, "PASV"), 2);
}

TEST_F(FtpClient, ActiveModeNamesItsAddressByFamilyAndTakesDataFromTheControlPeerOnly)
{
    const struct {
        const char* host;
        std::vector<std::pair<std::string, std::string>> from;
        const char* command;
    } cases[] = {
        // Another machine's connection comes first and is refused; the server's follows.
        {"127.0.0.1", {{"127.0.0.2", "stolen"}, {"127.0.0.1", "real"}}, "PORT 127,0,0,1,"},
        {"::1", {{"::1", "real"}}, "EPRT |2|::1|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        trace.clear();
        ScriptServer control(Bye(LoggedIn({S::Expect(), S::Send("213 4\r\n"), S::Expect(), S::Send("200 ok\r\n"),
                                           S::Expect(), S::Send("150 here\r\n226 done\r\n")})),
                             c.host);
        T_FTP ftp;
        Aim(ftp, control.port());
        ftp.Hostname = c.host;
        ftp.Passive = false;
        ftp.URI = "f";
        {
            ActivePeer peer(control, c.from);
            ftp.Download();
        }
        EXPECT_EQ(ftp.ReceiveStream, "real");
        const auto got = control.Received();
        ASSERT_GE(got.size(), 5u);
        EXPECT_EQ(got[4].rfind(c.command, 0), 0u) << got[4];
        EXPECT_EQ(TracedPart("Refused a data connection from 127.0.0.2"), c.from.size() == 2);
        ftp.Logout();
    }
}

TEST_F(FtpClient, AnonymousLoginListsAndDownloadsFromARealServerInEveryStyle)
{
    FtpServer server;
    SKIP_UNLESS_RUNNING(server);
    const std::string big = Pattern(16u << 20); // many blocks, yet quick under the sanitizers on a loaded machine
    server.AddAnonFile("empty.bin", "");
    server.AddAnonFile("one.bin", "x");
    server.AddAnonFile("big.bin", big);

    T_FTP ftp;
    Aim(ftp, server.port());
    ftp.Login();
    EXPECT_TRUE(Traced(tlCommand, "USER anonymous"));
    EXPECT_TRUE(Traced(tlCommand, "PASS ******"));
    EXPECT_TRUE(Traced(tlCommand, "TYPE I"));
    EXPECT_FALSE(TracedPart(T_FTP::AnonymousPassword)) << "the password reached the trace";
    EXPECT_EQ(ftp.ReplyCode, 200);

    ftp.GetDir(".");
    std::string listing;
    for (const std::string& line : ftp.DirList)
        listing += line + "\n";
    for (const char* name : {"empty.bin", "one.bin", "big.bin"})
        EXPECT_NE(listing.find(name), std::string::npos) << listing;

    struct Style {
        bool passive, async;
    };
    for (const Style style : {Style{true, false}, Style{false, false}, Style{true, true}, Style{false, true}}) {
        SCOPED_TRACE(std::string(style.passive ? "passive" : "active") + (style.async ? ", async" : ", blocking"));
        ftp.Passive = style.passive;
        ftp.Async = style.async;
        for (const char* name : {"empty.bin", "one.bin", "big.bin"}) {
            int64_t reported = 0, completions = 0;
            ftp.OnDataReceived = [&](TObject*, t_ftp_mode mode, int n) {
                EXPECT_EQ(mode, tftp_download);
                reported += std::max(n, 0);
            };
            ftp.OnActionComplete = [&](TObject*, t_ftp_mode) { ++completions; };
            ftp.URI = name;
            ftp.Download();
            const std::string expected = FileBytes(server.AnonRoot() + "/" + name);
            EXPECT_EQ(ftp.ReceiveStream.size(), expected.size()) << name;
            EXPECT_TRUE(ftp.ReceiveStream == expected) << name << " differs from the file on disk";
            EXPECT_EQ(ftp.TransferSize, int64_t(expected.size())) << "SIZE's answer";
            EXPECT_EQ(reported, int64_t(expected.size()));
            EXPECT_EQ(completions, 1);
            EXPECT_FALSE(ftp.Busy);
            if (std::string(name) == "big.bin" && !(style.passive && !style.async))
                break; // one style of the large file per mode is enough beyond the first
        }
    }
    ftp.Logout();
    EXPECT_FALSE(ftp.LoggedIn);
    EXPECT_FALSE(ftp.Connected());
    EXPECT_TRUE(Traced(tlCommand, "QUIT"));
    EXPECT_TRUE(Traced(tlCommand, "EPSV")) << "tried first on IPv4 too";
    EXPECT_FALSE(Traced(tlCommand, "PASV")) << "vsftpd knows EPSV";
}

TEST_F(FtpClient, ALocalUserUploadsByteForByteAndAWrongPasswordShowsTheServersReply)
{
    FtpServer server;
    SKIP_UNLESS_RUNNING(server);

    T_FTP wrong;
    Aim(wrong, server.port(), FtpServer::User, "not-it");
    EXPECT_EQ(Raised<ETcpIpError>([&] { wrong.Login(); }), "Login incorrect.");
    EXPECT_EQ(wrong.ReplyCode, 530);

    T_FTP ftp;
    Aim(ftp, server.port(), FtpServer::User, FtpServer::Password);
    struct Case {
        const char* name;
        size_t size;
        bool passive, async;
    };
    for (const Case c : {Case{"zero.bin", 0, true, false}, Case{"one.bin", 1, false, false},
                         Case{"big.bin", 100u << 20, true, false}, Case{"async.bin", 3u << 20, false, true}}) {
        SCOPED_TRACE(c.name);
        ftp.Passive = c.passive;
        ftp.Async = c.async;
        ftp.URI = c.name;
        ftp.ReceiveStream = Pattern(c.size);
        int completions = 0;
        ftp.OnActionComplete = [&](TObject*, t_ftp_mode mode) {
            EXPECT_EQ(mode, tftp_upload);
            ++completions;
        };
        ftp.Upload();
        // An asynchronous upload ends through the window's notifications.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ftp.Busy && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_FALSE(ftp.Busy);
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(ftp.TransferSize, int64_t(c.size));
        EXPECT_TRUE(FileBytes(server.UserRoot() + "/" + c.name) == Pattern(c.size)) << "stored file differs";
    }
    // Stored bytes come back unchanged, in image type.
    ftp.OnActionComplete = nullptr;
    ftp.URI = "one.bin";
    ftp.Download();
    EXPECT_EQ(ftp.ReceiveStream, Pattern(1));
    ftp.Logout();
}

TEST_F(FtpClient, RepliesSplitAcrossReadsAndErrorRepliesKeepTheDialogueInStep)
{
    // A three-line greeting a byte at a time, an error reply in two lines, and
    // a command after it that must get its own reply.
    ScriptServer server({S::Trickle("220-first line\r\n220-second\r\n220 last\r\n"), S::Expect(),
                         S::Send("331-need\r\n password\r\n331 now\r\n"), S::Expect(), S::Send("230 in\r\n"),
                         S::Expect(), S::Send("200 binary\r\n"), S::Expect(), S::Send("213 7\r\n"), S::Expect(),
                         S::Send(NoEpsv), S::Expect(), S::Send("500-no passive\r\n500 here\r\n"), S::Expect(), S::Send("213 9\r\n"), S::Expect(),
                         S::Send("221 bye\r\n"), S::Close()});
    T_FTP ftp;
    Aim(ftp, server.port());
    ftp.Login();
    EXPECT_TRUE(Traced(tlReply, "220 last"));
    EXPECT_EQ(ftp.ReplyCode, 200);
    ftp.URI = "f";
    EXPECT_EQ(Raised<ETcpIpError>([&] { ftp.Download(); }), "no passive");
    EXPECT_EQ(ftp.ReplyCode, 500);
    EXPECT_EQ(ftp.TransferSize, 7);
    EXPECT_FALSE(ftp.Busy) << "a refused transfer leaves the component free";
    ftp.SendCommand("SIZE g");
    ftp.ReadReply();
    EXPECT_EQ(ftp.ReplyText, "9") << "the rest of the error reply was not taken for this one";
}

TEST_F(FtpClient, AnErrorAtEachStepIsRaisedWithTheServersText)
{
    const std::vector<std::pair<std::vector<S::Step>, std::string>> cases = {
        {Bye({S::Send("421 too many users\r\n")}), "too many users"},
        {Bye({S::Send("220 hi\r\n"), S::Expect(), S::Send("530 no anonymous\r\n")}), "no anonymous"},
        {Bye({S::Send("220 hi\r\n"), S::Expect(), S::Send("331 pw\r\n"), S::Expect(),
              S::Send("530 Login incorrect.\r\n")}),
         "Login incorrect."},
        {Bye(LoggedIn({S::Expect(), S::Send("550 no such file\r\n"), S::Expect(),
                       S::Send(NoEpsv), S::Expect(), S::Send(PasvAnswer("127,0,0,1", 9)), S::Expect(), S::Send("550 Failed to open file.\r\n")})),
         "Failed to open file."},
        // Its first piece taken as the reply would put the rest where the next reply is due.
        {{S::Send("220-hi\r\n220 " + std::string(100 * 1024, 'A') + "\r\n"), S::Hold()},
         "127.0.0.1 sent a line longer than 64 KiB, which no server of this kind sends; the connection was dropped. "
         "Check the host name and port."},
    };
    for (const auto& [script, text] : cases) {
        ScriptServer server(script);
        T_FTP ftp;
        Aim(ftp, server.port());
        ftp.URI = "missing.bin";
        EXPECT_EQ(Raised<ETcpIpError>([&] { ftp.Download(); }), text);
        EXPECT_FALSE(ftp.Busy);
    }
}

TEST_F(FtpClient, APassiveAnswerNamingAnotherMachineGetsTheDataFromTheServerItself)
{
    ScriptServer data({S::Send("the file's bytes"), S::Close()});
    // 10.1.2.3 is never contacted: the data connection goes to the control peer.
    ScriptServer control(Bye(LoggedIn({S::Expect(), S::Send("213 16\r\n"), S::Expect(),
                                       S::Send(NoEpsv), S::Expect(), S::Send(PasvAnswer("10,1,2,3", data.port())), S::Expect(),
                                       S::Send("150 here\r\n226 done\r\n")})));
    T_FTP ftp;
    Aim(ftp, control.port());
    ftp.URI = "f";
    ftp.Download();
    EXPECT_EQ(ftp.ReceiveStream, "the file's bytes");
    EXPECT_EQ(ftp.ProposedDataAddress, "10.1.2.3");
    EXPECT_TRUE(TracedPart("proposed a data connection to 10.1.2.3; connecting to 127.0.0.1 instead"));
    EXPECT_EQ(data.Connections(), 1);
}

TEST_F(FtpClient, SilentServersAndBrokenDataConnectionsEndWithAClearError)
{
    {
        ScriptServer server({S::Hold()});
        T_FTP ftp;
        Aim(ftp, server.port());
        ftp.ReplyTimeoutMs = 300;
        const std::string error = Raised<ETcpIpError>([&] { ftp.Login(); });
        EXPECT_NE(error.find("did not answer within 0.3 seconds"), std::string::npos) << error;
        EXPECT_FALSE(ftp.LoggedIn);
        EXPECT_FALSE(ftp.Connected());
    }
    {
        // Active mode, and the server never connects back.
        ScriptServer server(LoggedIn({S::Expect(), S::Send("213 1\r\n"), S::Expect(), S::Send("200 PORT ok\r\n"),
                                      S::Expect(), S::Send("150 sending\r\n"), S::Hold()}));
        T_FTP ftp;
        Aim(ftp, server.port());
        ftp.ReplyTimeoutMs = 1000;
        ftp.Passive = false;
        ftp.URI = "f";
        const std::string error = Raised<ETcpIpError>([&] { ftp.Download(); });
        EXPECT_NE(error.find("waiting for the server's data connection"), std::string::npos) << error;
        EXPECT_FALSE(ftp.Busy);
        EXPECT_FALSE(ftp.LoggedIn);
    }
    for (const bool async : {false, true}) {
        SCOPED_TRACE(async ? "async" : "blocking");
        // The data connection is reset half way, and the server calls it a success.
        // The trickle gives the client time to see its connection made before the reset.
        ScriptServer data({S::Send(std::string(5000, 'd')), S::Trickle(std::string(300, 't')), S::Reset()});
        ScriptServer control(LoggedIn({S::Expect(), S::Send("213 10000\r\n"), S::Expect(),
                                       S::Send(NoEpsv), S::Expect(), S::Send(PasvAnswer("127,0,0,1", data.port())), S::Expect(),
                                       S::Send("150 here\r\n"), S::Expect(), S::Send("226 done\r\n"), S::Expect(),
                                       S::Send("221 bye\r\n"), S::Close()}));
        T_FTP ftp;
        Aim(ftp, control.port());
        ftp.Async = async;
        ftp.URI = "f";
        // The final reply is held back until the client asks again, so the reset comes first.
        ftp.OnDataReceived = [&](TObject*, t_ftp_mode, int n) {
            if (n <= 0)
                ftp.SendCommand("NOOP");
        };
        const std::string error = Raised<ETcpIpError>([&] { ftp.Download(); });
        EXPECT_NE(error.find("broke off before the end"), std::string::npos) << error;
        EXPECT_FALSE(ftp.Busy);
    }
    {
        // A transfer that stalls with the window's events still flowing.
        ScriptServer data({S::Send("a little"), S::Hold()});
        ScriptServer control(LoggedIn({S::Expect(), S::Send("213 100\r\n"), S::Expect(),
                                       S::Send(NoEpsv), S::Expect(), S::Send(PasvAnswer("127,0,0,1", data.port())), S::Expect(),
                                       S::Send("150 here\r\n"), S::Hold()}));
        T_FTP ftp;
        Aim(ftp, control.port());
        ftp.ReplyTimeoutMs = 1000;
        ftp.Async = true;
        ftp.URI = "f";
        int pumped = 0;
        QTimer::singleShot(0, [&] { ++pumped; });
        const std::string error = Raised<ETcpIpError>([&] { ftp.Download(); });
        EXPECT_NE(error.find("did not answer within 1 second"), std::string::npos) << error;
        EXPECT_EQ(ftp.ReceiveStream, "a little");
        EXPECT_EQ(pumped, 1) << "the window's events were processed during the wait";
        EXPECT_FALSE(ftp.Busy);
    }
}

TEST_F(FtpClient, ASecondTransferFromADataHandlerIsRefusedAndEmptyNamesDoNothing)
{
    ScriptServer data({S::Send("bytes"), S::Close()});
    ScriptServer control(LoggedIn({S::Expect(), S::Send("213 5\r\n"), S::Expect(),
                                   S::Send(NoEpsv), S::Expect(), S::Send(PasvAnswer("127,0,0,1", data.port())), S::Expect(),
                                   S::Send("150 here\r\n226 done\r\n"), S::Expect(), S::Send("221 bye\r\n"),
                                   S::Close()}));
    T_FTP ftp;
    Aim(ftp, control.port());
    ftp.Download(); // empty URI: logs in, nothing else
    EXPECT_TRUE(ftp.LoggedIn);
    EXPECT_FALSE(TracedPart("SIZE"));
    ftp.URI = "f";
    std::string refused;
    ftp.OnDataReceived = [&](TObject*, t_ftp_mode, int) {
        if (refused.empty())
            refused = Raised<ETcpIpError>([&] { ftp.Download(); });
    };
    ftp.Download();
    EXPECT_EQ(refused, "Protocol busy");
    EXPECT_EQ(ftp.ReceiveStream, "bytes");
}

TEST_F(FtpClient, ARealServerListeningOnIPv6TransfersPassivelyByEpsvAndActivelyByEprt)
{
    FtpServer server(nullptr, false, "::1");
    SKIP_UNLESS_RUNNING(server);
    server.AddAnonFile("six.bin", "over IPv6");
    T_FTP ftp;
    Aim(ftp, server.port());
    ftp.Hostname = "::1";
    for (const bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        ftp.Passive = passive;
        ftp.URI = "six.bin";
        ftp.Download();
        EXPECT_EQ(ftp.ReceiveStream, "over IPv6");
    }
    ftp.Logout();
    EXPECT_TRUE(Traced(tlCommand, "EPSV"));
    EXPECT_FALSE(Traced(tlCommand, "PASV"));
    EXPECT_TRUE(TracedPart("EPRT |2|::1|"));
}
