#include "sock/ECertificateError.h"
#include "sock/SocketStream.h"
#include "sock/TlsStream.h"
#include "support/ScriptServer.h"
#include "support/TestCa.h"

#include <arpa/inet.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

using testsupport::ScriptServer;
using testsupport::TestCa;
using S = ScriptServer;

namespace {

// Generous: only a broken stream or server gets near it.
constexpr auto Bound = std::chrono::seconds(20);

class TlsStreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WSADATA data{};
        ASSERT_EQ(winsock::WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override { winsock::WSACleanup(); }

    static std::unique_ptr<ByteStream> Connect(uint16_t port)
    {
        const SOCKET s = winsock::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = inet_addr("127.0.0.1");
        EXPECT_EQ(winsock::connect(s, &a, sizeof a), 0);
        unsigned long on = 1;
        EXPECT_EQ(winsock::ioctlsocket(s, FIONBIO_CMD, &on), 0);
        return std::make_unique<SocketStream>(s);
    }

    static std::unique_ptr<TlsStream> Open(const ScriptServer& server, const std::string& host,
                                           std::vector<std::string> trusted = {},
                                           std::shared_ptr<TlsSession> resume = nullptr)
    {
        return std::make_unique<TlsStream>(Connect(server.port()), host, std::move(trusted), std::move(resume));
    }

    // The handshake as a client drives it: call, wait for the way it needs, call again.
    static void Handshake(TlsStream& tls)
    {
        const auto end = std::chrono::steady_clock::now() + Bound;
        while (!tls.Handshake()) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "handshake never finished";
            ASSERT_GE(tls.Ready(tls.NeedsWritable(false), 100), 0);
        }
        EXPECT_TRUE(tls.HandshakeDone());
    }

    // Reads size bytes at most into `got`, waiting as needed; -1 when broken.
    static int ReadSome(ByteStream& s, std::string& got, int size)
    {
        const auto end = std::chrono::steady_clock::now() + Bound;
        std::string buffer(size_t(size), '\0');
        for (;;) {
            const int n = s.Read(buffer.data(), size);
            if (n >= 0) {
                got.append(buffer.data(), size_t(n));
                return n;
            }
            if (n != ByteStream::WouldBlock || std::chrono::steady_clock::now() > end)
                return -1;
            s.Ready(s.NeedsWritable(false), 100);
        }
    }

    static std::string ReadLine(ByteStream& s)
    {
        std::string line;
        while (line.empty() || line.back() != '\n')
            if (ReadSome(s, line, 1) <= 0)
                break;
        return line;
    }

    static void WriteAll(ByteStream& s, const std::string& text)
    {
        const auto end = std::chrono::steady_clock::now() + Bound;
        for (size_t sent = 0; sent < text.size();) {
            const int n = s.Write(text.data() + sent, int(text.size() - sent));
            if (n > 0)
                sent += size_t(n);
            ASSERT_NE(n, ByteStream::Broken);
            ASSERT_LT(std::chrono::steady_clock::now(), end);
            if (n == ByteStream::WouldBlock)
                s.Ready(s.NeedsWritable(true), 100);
        }
    }

    static void WaitFor(const std::function<bool()>& condition)
    {
        const auto end = std::chrono::steady_clock::now() + Bound;
        while (!condition() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    template <typename E>
    static std::optional<E> Refusal(TlsStream& tls)
    {
        try {
            Handshake(tls);
        } catch (const E& e) {
            return e;
        }
        return std::nullopt;
    }
};

TEST_F(TlsStreamTest, VerifiedByNameAndAddressCarriesDataBothWaysAndEndsWithCloseNotify)
{
    TestCa ca;
    testsupport::TrustScope trust(ca.Authority());
    // Many records each way.
    const std::string big(100000, 'x');
    for (const std::string host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        const TestCa::Issued issued = ca.Issue(host);
        ScriptServer server({S::Tls(issued.certificate, issued.key), S::Send("+OK hello\r\n"), S::Expect(),
                             S::Send("one\r\ntwo\r\nthree\r\n"), S::Expect(), S::Send(big + "\r\n"),
                             S::ExpectAll()});
        ASSERT_TRUE(server.Listening());
        auto tls = Open(server, host);
        Handshake(*tls);
        EXPECT_EQ(tls->Description().rfind("TLSv1.3, TLS_", 0), 0u) << tls->Description();
        EXPECT_EQ(ReadLine(*tls), "+OK hello\r\n");
        WriteAll(*tls, "USER alice\r\n");

        // Three lines in one record: after the first small read the rest is
        // held decrypted, which the socket cannot show (the server sends
        // nothing more until told).
        std::string got;
        ASSERT_EQ(ReadSome(*tls, got, 4), 4);
        EXPECT_TRUE(tls->Pending());
        EXPECT_EQ(winsock::selectReadable(tls->Handle(), 0), 0);
        EXPECT_EQ(tls->Ready(false, 0), 1);
        while (got.size() < 17 && tls->Pending())
            ASSERT_GT(ReadSome(*tls, got, 4), 0);
        EXPECT_EQ(got, "one\r\ntwo\r\nthree\r\n");
        EXPECT_FALSE(tls->Pending());
        WriteAll(*tls, "MORE\r\n");
        EXPECT_EQ(ReadLine(*tls), big + "\r\n");
        WriteAll(*tls, big + "\r\n");

        tls->Close();
        WaitFor([&] { return server.CloseNotifies() == 1; });
        EXPECT_EQ(server.CloseNotifies(), 1);
        EXPECT_EQ(server.Received(), (std::vector<std::string>{"USER alice", "MORE", big}));
    }
}

TEST_F(TlsStreamTest, EachFailedCheckIsRefusedInWordsWithItsFingerprintAndAcceptedOnlyWhenTrusted)
{
    TestCa ca, stranger;
    testsupport::TrustScope trust(ca.Authority());
    struct Case {
        const char* label;
        TestCa::Issued issued;
        std::string host;
        ECertificateError::Check check;
        std::string words;
    };
    const std::vector<Case> cases = {
        {"expired", ca.Issue("localhost", TestCa::Expired), "localhost", ECertificateError::Expired, "has expired"},
        {"not yet valid", ca.Issue("localhost", TestCa::NotYetValid), "localhost", ECertificateError::NotYetValid,
         "is not valid yet"},
        {"wrong name", ca.Issue("mail.example.org"), "localhost", ECertificateError::WrongName, "for another name"},
        {"wrong address", ca.Issue("127.0.0.2"), "127.0.0.1", ECertificateError::WrongName, "for another name"},
        {"self-signed", ca.SelfSigned("localhost"), "localhost", ECertificateError::SelfSigned, "is self-signed"},
        {"unknown issuer", stranger.Issue("localhost"), "localhost", ECertificateError::UnknownIssuer,
         "an authority this computer does not trust"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ScriptServer server({S::Tls(c.issued.certificate, c.issued.key), S::Send("+OK hello\r\n"), S::Hold()});
        ASSERT_TRUE(server.Listening());

        auto refused = Open(server, c.host, {"00:11:22"});
        const auto e = Refusal<ECertificateError>(*refused);
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(e->Failed, c.check);
        EXPECT_EQ(e->Host, c.host);
        EXPECT_EQ(e->Fingerprint, c.issued.fingerprint);
        EXPECT_NE(e->Message.find(c.words), std::string::npos) << e->Message;
        EXPECT_NE(e->Message.find(c.issued.fingerprint), std::string::npos) << e->Message;
        EXPECT_NE(e->Message.find("choose to trust it"), std::string::npos) << e->Message;

        auto accepted = Open(server, c.host, {"00:11:22", c.issued.fingerprint});
        Handshake(*accepted);
        EXPECT_EQ(ReadLine(*accepted), "+OK hello\r\n");
    }
}

TEST_F(TlsStreamTest, ServerThatEndsTheHandshakeOrSpeaksPlainIsAFailureInWordsNotAHang)
{
    TestCa ca;
    testsupport::TrustScope trust(ca.Authority());
    {
        ScriptServer server({S::Receive(), S::Close()});
        auto tls = Open(server, "localhost");
        const auto e = Refusal<ESockException>(*tls);
        ASSERT_TRUE(e.has_value());
        EXPECT_NE(e->Message.find("ended the connection during the TLS handshake"), std::string::npos) << e->Message;
        EXPECT_NE(e->Message.find("(port " + std::to_string(server.port()) + ")"), std::string::npos) << e->Message;
        EXPECT_NE(e->Message.find("STARTTLS"), std::string::npos) << e->Message;
    }
    {
        ScriptServer server({S::Send("+OK POP3 server ready\r\n"), S::Hold()});
        auto tls = Open(server, "localhost");
        const auto e = Refusal<ESockException>(*tls);
        ASSERT_TRUE(e.has_value());
        EXPECT_NE(e->Message.find("did not answer in TLS"), std::string::npos) << e->Message;
    }
}

TEST_F(TlsStreamTest, ASecondConnectionResumesTheFirstOnesSession)
{
    TestCa ca;
    testsupport::TrustScope trust(ca.Authority());
    const TestCa::Issued issued = ca.Issue("localhost");
    ScriptServer server({S::Tls(issued.certificate, issued.key), S::Send("220 ready\r\n"), S::ExpectAll()});

    auto control = Open(server, "localhost");
    Handshake(*control);
    EXPECT_FALSE(control->SessionReused());
    // The ticket comes after the handshake, with the first data.
    EXPECT_EQ(ReadLine(*control), "220 ready\r\n");
    const std::shared_ptr<TlsSession> session = control->Session();
    ASSERT_NE(session, nullptr);
    // The server here serves one connection at a time.
    control->Close();

    auto data = Open(server, "localhost", {}, session);
    Handshake(*data);
    EXPECT_TRUE(data->SessionReused());
    EXPECT_EQ(ReadLine(*data), "220 ready\r\n");
    data->Close();
    WaitFor([&] { return server.CloseNotifies() == 2; });
    EXPECT_EQ(server.ResumedSessions(), 1);
}

} // namespace
