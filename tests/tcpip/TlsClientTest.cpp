#include "sock/ECertificateError.h"
#include "support/ClientFixture.h"
#include "support/Raised.h"
#include "support/RealServers.h"
#include "support/ScriptServer.h"
#include "support/TestCa.h"
#include "tcpip/T_FTP.h"
#include "tcpip/T_Pop3.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using testsupport::DovecotServer;
using testsupport::FileBytes;
using testsupport::FtpServer;
using testsupport::Pattern;
using testsupport::Raised;
using testsupport::ScriptServer;
using testsupport::TestCa;
using testsupport::TrustScope;
using S = ScriptServer;

namespace {

class TlsClient : public ClientFixture {
protected:
    void Aim(T_TcpIp& client, TlsMode mode)
    {
        client.Hostname = "127.0.0.1";
        client.Tls.Mode = mode;
        client.ReplyTimeoutMs = 20000; // a real server may be slow to log in on a busy machine
        Follow(client);
    }
    void AimPop(T_Pop3& pop, uint16_t port, TlsMode mode)
    {
        Aim(pop, mode);
        pop.RemotePort = port;
        pop.UserName = "alice";
        pop.Password = "secret";
    }
    void AimFtp(T_FTP& ftp, uint16_t port, TlsMode mode, const std::string& user, const std::string& password)
    {
        Aim(ftp, mode);
        ftp.Port = port;
        ftp.Username = user;
        ftp.Password = password;
    }
};

// A server certificate from an authority of the test's own, which the
// clients trust while it lasts.
struct TrustedCertificate {
    explicit TrustedCertificate(const std::string& name = "127.0.0.1") : issued(ca.Issue(name)) {}
    TestCa ca;
    const TestCa::Issued issued;
    const TrustScope trust{ca.Authority()};
};

} // namespace

TEST_F(TlsClient, Pop3MailboxOverStlsAndImplicitTlsWithTheCertificateVerified)
{
    const TrustedCertificate tls;
    DovecotServer dovecot(&tls.issued);
    SKIP_UNLESS_RUNNING(dovecot);
    for (int i = 0; i < 3; ++i)
        dovecot.AddMessage("From: Bob <bob@example.test>\r\nSubject: Note " + std::to_string(i) +
                           "\r\n\r\nbody " + std::to_string(i) + "\r\n");

    struct Way {
        TlsMode mode;
        uint16_t port;
    };
    int expected = 3;
    for (const Way way : {Way{TlsMode::StartTls, dovecot.port()}, Way{TlsMode::Implicit, dovecot.tlsPort()}}) {
        SCOPED_TRACE(way.mode == TlsMode::StartTls ? "STLS" : "implicit");
        trace.clear();
        T_Pop3 pop;
        AimPop(pop, way.port, way.mode);
        pop.Login();
        EXPECT_EQ(pop.NumberOfMails(), expected);
        EXPECT_EQ(CountStarting("TLS: TLSv1."), 1);
        // STLS: capabilities asked before the upgrade and again after it.
        EXPECT_EQ(Count("STLS"), way.mode == TlsMode::StartTls ? 1 : 0);
        EXPECT_EQ(Count("CAPA"), way.mode == TlsMode::StartTls ? 2 : 0);
        EXPECT_EQ(std::count(pop.Capabilities.begin(), pop.Capabilities.end(), "STLS"), 0)
            << "a server already under TLS offers no second STLS";

        pop.GetHeaders();
        ASSERT_EQ(pop.Lines.size(), size_t(expected));
        EXPECT_EQ(pop.Lines[0].substr(0, 22), "Bob <bob@example.test>");
        pop.Retrieve(1);
        EXPECT_NE(std::find(pop.Lines.begin(), pop.Lines.end(), "body " + std::to_string(3 - expected)),
                  pop.Lines.end());
        pop.Delete(1);
        pop.Logout();
        --expected;
        EXPECT_EQ(dovecot.MessageCount(), expected);
        for (const auto& [level, line] : trace)
            EXPECT_EQ(line.find("secret"), std::string::npos) << "the password reached the trace";
    }
}

TEST_F(TlsClient, ACertificateForAnotherNameIsRefusedUntilTheUserTrustsIt)
{
    const TrustedCertificate tls("mail.example.test");
    DovecotServer dovecot(&tls.issued);
    SKIP_UNLESS_RUNNING(dovecot);
    dovecot.AddMessage("Subject: kept\r\n\r\nbody\r\n");

    T_Pop3 pop;
    AimPop(pop, dovecot.tlsPort(), TlsMode::Implicit);
    try {
        pop.Login();
        ADD_FAILURE() << "a certificate for another name was accepted";
    } catch (const ECertificateError& e) {
        EXPECT_EQ(e.Failed, ECertificateError::WrongName);
        EXPECT_EQ(e.Fingerprint, tls.issued.fingerprint);
        EXPECT_EQ(e.Host, "127.0.0.1");
        EXPECT_NE(e.Message.find(tls.issued.fingerprint), std::string::npos) << e.Message;
    }
    EXPECT_FALSE(pop.Connected());
    EXPECT_FALSE(pop.LoggedIn);

    // Over STLS too, and nothing of the login went out.
    T_Pop3 upgraded;
    AimPop(upgraded, dovecot.port(), TlsMode::StartTls);
    EXPECT_THROW(upgraded.Login(), ECertificateError);
    EXPECT_EQ(Count("USER alice"), 0);

    // Trusted by its fingerprint, exactly this certificate is accepted.
    pop.Tls.Trusted = {tls.issued.fingerprint};
    pop.Login();
    EXPECT_EQ(pop.NumberOfMails(), 1);
    pop.Logout();
}

TEST_F(TlsClient, StlsRequiredButNotOfferedSendsNoPassword)
{
    for (const char* capabilities : {"+OK\r\nUSER\r\nTOP\r\n.\r\n", "-ERR unknown command\r\n"}) {
        SCOPED_TRACE(capabilities);
        ScriptServer server({S::Send("+OK ready\r\n"), S::Expect(), S::Send(capabilities), S::ExpectAll()});
        ASSERT_TRUE(server.Listening());
        T_Pop3 pop;
        AimPop(pop, server.port(), TlsMode::StartTls);
        const std::string error = Raised<ETcpIpError>([&] { pop.Login(); });
        EXPECT_NE(error.find("does not offer STLS"), std::string::npos) << error;
        EXPECT_NE(error.find("no password was sent"), std::string::npos) << error;
        EXPECT_FALSE(pop.Connected());
        // Gone without a word more: once the server takes a next connection it
        // has seen all of the first, which was CAPA and nothing else.
        EXPECT_TRUE(testsupport::Accepts(server.port()));
        ASSERT_TRUE(testsupport::PumpUntil([&] { return server.Connections() == 2; }));
        EXPECT_EQ(server.Received(), std::vector<std::string>{"CAPA"});
    }
}

TEST_F(TlsClient, AnFtpServerRefusingAuthTlsGetsNoUserName)
{
    ScriptServer server({S::Send("220 ready\r\n"), S::Expect(), S::Send("500 AUTH not understood\r\n"), S::ExpectAll()});
    ASSERT_TRUE(server.Listening());
    T_FTP ftp;
    AimFtp(ftp, server.port(), TlsMode::StartTls, FtpServer::User, FtpServer::Password);
    const std::string error = Raised<ETcpIpError>([&] { ftp.Login(); });
    EXPECT_NE(error.find("does not offer TLS"), std::string::npos) << error;
    EXPECT_NE(error.find("no password was sent"), std::string::npos) << error;
    EXPECT_TRUE(testsupport::Accepts(server.port()));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return server.Connections() == 2; }));
    EXPECT_EQ(server.Received(), std::vector<std::string>{"AUTH TLS"});
}

TEST_F(TlsClient, PlainTextPipelinedAfterTheStlsAnswerIsDiscarded)
{
    const TrustedCertificate tls;
    // A server (or a man in the middle) slips a reply in before the
    // handshake; taken for the answer to the CAPA after it, it would shift
    // every later answer by one.
    ScriptServer server({S::Send("+OK ready\r\n"), S::Expect(), S::Send("+OK\r\nSTLS\r\nUSER\r\n.\r\n"),
                         S::Expect(), S::Send("+OK Begin TLS\r\n+OK injected\r\n"),
                         S::Tls(tls.issued.certificate, tls.issued.key), S::Expect(),
                         S::Send("+OK\r\nTOP\r\nUSER\r\n.\r\n"), S::Expect(), S::Send("+OK\r\n"), S::Expect(),
                         S::Send("+OK\r\n"), S::Expect(), S::Send("+OK\r\n1 120\r\n.\r\n"), S::Expect(),
                         S::Send("+OK bye\r\n"), S::Close()});
    ASSERT_TRUE(server.Listening());
    T_Pop3 pop;
    AimPop(pop, server.port(), TlsMode::StartTls);
    pop.Login();
    EXPECT_EQ(pop.Capabilities, (std::vector<std::string>{"TOP", "USER"}));
    EXPECT_EQ(pop.NumberOfMails(), 1);
    EXPECT_EQ(Count("+OK injected"), 0);
    pop.Logout();
    EXPECT_EQ(server.Received(),
              (std::vector<std::string>{"CAPA", "STLS", "CAPA", "USER alice", "PASS secret", "LIST", "QUIT"}));
}

TEST_F(TlsClient, StopReachesAHandshakeTheServerNeverAnswers)
{
    ScriptServer server({S::Receive(), S::Hold()});
    ASSERT_TRUE(server.Listening());
    T_Pop3 pop;
    AimPop(pop, server.port(), TlsMode::Implicit);
    pop.ReplyTimeoutMs = 600000;
    QTimer stop;
    // Once the hello is in, the handshake's wait is the only one left to stop.
    QObject::connect(&stop, &QTimer::timeout, [&] {
        if (!server.ReceivedBytes().empty())
            pop.Cancel();
    });
    stop.start(5); // only a wait lets it through
    EXPECT_EQ(Raised<ETcpIpError>([&] { pop.Login(); }), "Stopped while negotiating TLS (127.0.0.1).");
    EXPECT_FALSE(pop.Connected());
}

TEST_F(TlsClient, FtpOverAuthTlsListsDownloadsAndUploadsInEveryStyleReusingTheSession)
{
    const TrustedCertificate tls;
    FtpServer server(&tls.issued);
    SKIP_UNLESS_RUNNING(server);
    server.AddAnonFile("one.bin", "x");

    // The local user may not log in without TLS.
    {
        T_FTP plain;
        AimFtp(plain, server.port(), TlsMode::Plain, FtpServer::User, FtpServer::Password);
        EXPECT_NE(Raised<ETcpIpError>([&] { plain.Login(); }), "(nothing)");
    }

    T_FTP ftp;
    AimFtp(ftp, server.port(), TlsMode::StartTls, FtpServer::User, FtpServer::Password);
    ftp.Login();
    for (const char* command : {"AUTH TLS", "PBSZ 0", "PROT P", "TYPE I"})
        EXPECT_EQ(Count(command), 1) << command;
    EXPECT_EQ(CountStarting("TLS: TLSv1."), 1);

    struct Style {
        bool passive, async;
    };
    uint32_t seed = 1;
    for (const Style style : {Style{true, false}, Style{false, false}, Style{true, true}, Style{false, true}}) {
        SCOPED_TRACE(std::string(style.passive ? "passive" : "active") + (style.async ? ", async" : ", blocking"));
        ftp.Passive = style.passive;
        ftp.Async = style.async;
        const std::string name = "file" + std::to_string(seed) + ".bin";
        const std::string bytes = Pattern(size_t(3u << 20) + seed, seed);
        ++seed;

        ftp.URI = name;
        ftp.ReceiveStream = bytes;
        int completions = 0;
        ftp.OnActionComplete = [&](TObject*, t_ftp_mode) { ++completions; };
        ftp.Upload();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (ftp.Busy && std::chrono::steady_clock::now() < deadline)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_FALSE(ftp.Busy);
        EXPECT_EQ(completions, 1);
        EXPECT_TRUE(FileBytes(server.UserRoot() + "/" + name) == bytes) << "stored file differs";

        ftp.ReceiveStream.clear();
        ftp.Download();
        EXPECT_EQ(ftp.ReceiveStream.size(), bytes.size());
        EXPECT_TRUE(ftp.ReceiveStream == bytes) << "downloaded bytes differ";

        ftp.GetDir(".");
        EXPECT_NE(std::find_if(ftp.DirList.begin(), ftp.DirList.end(),
                               [&](const std::string& line) {
                                   return line.size() >= name.size() &&
                                          line.compare(line.size() - name.size(), name.size(), name) == 0;
                               }),
                  ftp.DirList.end());
        EXPECT_EQ(completions, 3);
    }
    // Every transfer's data connection resumed a session of the control
    // connection's (the server refuses one that does not). A TLS 1.3 server
    // may take each ticket once and its fresh one may not have been read yet:
    // such a transfer logs in again and resumes then.
    const int resumed = int(std::count_if(trace.begin(), trace.end(), [](const auto& t) {
        return t.second.rfind("TLS: ", 0) == 0 && t.second.find("(session resumed)") != std::string::npos;
    }));
    EXPECT_EQ(resumed, 4 * 3);
    const int retries = CountStarting("The data connection's TLS session was not resumed");
    EXPECT_EQ(CountStarting("TLS: "), Count("AUTH TLS") + resumed + retries);
    EXPECT_EQ(Count("AUTH TLS"), 1 + retries);
    ftp.Logout();
    EXPECT_FALSE(ftp.Connected());
}

TEST_F(TlsClient, FtpKeepAliveLoginOverTlsAndImplicitTls)
{
    const TrustedCertificate tls;
    {
        // What a keep-alive attempt does: an anonymous login and logout.
        FtpServer server(&tls.issued);
        SKIP_UNLESS_RUNNING(server);
        T_FTP ftp;
        AimFtp(ftp, server.port(), TlsMode::StartTls, "ftp", T_FTP::AnonymousPassword);
        ftp.Login();
        EXPECT_TRUE(ftp.LoggedIn);
        EXPECT_EQ(CountStarting("TLS: TLSv1."), 1);
        ftp.Logout();
        EXPECT_FALSE(ftp.Connected());
    }
    {
        FtpServer server(&tls.issued, true);
        SKIP_UNLESS_RUNNING(server);
        trace.clear();
        T_FTP ftp;
        AimFtp(ftp, server.port(), TlsMode::Implicit, FtpServer::User, FtpServer::Password);
        ftp.Login();
        EXPECT_EQ(Count("AUTH TLS"), 0);
        EXPECT_EQ(Count("PROT P"), 1);
        ftp.GetDir(".");
        EXPECT_EQ(CountStarting("TLS: "), 2);
        ftp.Logout();
    }
}
