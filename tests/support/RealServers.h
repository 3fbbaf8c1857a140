#pragma once

// Real servers from Debian's packages, started by a test on 127.0.0.1 with a
// configuration of their own in a temporary folder, and stopped with their
// object. Each says why it cannot run (empty when it can).

#include "support/Loopback.h"
#include "support/TestCa.h"

#include <QProcess>
#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

// Skips the test, saying why, when the server cannot run on this machine.
#define SKIP_UNLESS_RUNNING(server)                                                                                   \
    do {                                                                                                               \
        if (!(server).Problem().empty())                                                                               \
            GTEST_SKIP() << (server).Problem();                                                                        \
    } while (0)

namespace testsupport {

// What every real server shares: its folder, its process, and a port reserved
// for it before it starts, so a test running beside it cannot take the port
// (the servers bind with SO_REUSEADDR, which the reservation lets through).
class RealServer {
public:
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;
    const std::string& Problem() const { return problem_; }
    uint16_t port() const { return port_.port(); }
    // Where the server listens: "127.0.0.1", or "::1" where a server was asked to.
    const std::string& address() const { return address_; }

protected:
    RealServer() = default;
    ~RealServer();
    std::string Path(const std::string& name) const;
    // False, with the problem set, when program is missing.
    bool Installed(const char* program, const std::string& package);
    bool Write(const std::string& name, const std::string& text);
    // Runs program until it listens on port(); failure becomes the problem.
    void Start(const char* program, const QStringList& arguments, const std::string& failure, int timeoutMs = 10000);

    QTemporaryDir dir_;
    QProcess process_;
    std::string problem_;
    std::string address_ = "127.0.0.1";

private:
    ReservedPort port_;
};

// Dovecot's POP3 service with one passwd-file user, "alice" / "secret",
// whose Maildir the test fills. Given a certificate, it requires TLS: STLS
// on port(), TLS from the first byte on tlsPort().
class DovecotServer : public RealServer {
public:
    // address: "127.0.0.1", or "::1".
    explicit DovecotServer(const TestCa::Issued* tls = nullptr, const std::string& address = "127.0.0.1");
    uint16_t tlsPort() const { return tlsPort_.port(); }
    // Adds a message (its text with CR LF or LF line ends) to alice's mailbox.
    void AddMessage(const std::string& text);
    // Messages now in alice's mailbox (new and cur).
    int MessageCount() const;
    bool HasMessageWith(const std::string& text) const;

private:
    int added_ = 0;
    ReservedPort tlsPort_;
};

// aiosmtpd (Debian's python3-aiosmtpd, run by the system's Python), storing
// every message it accepts in a Maildir; plain, or with STARTTLS required, or
// TLS from the first byte, and then with a login ("alice" / "secret").
class SmtpServer : public RealServer {
public:
    static constexpr const char* User = "alice";
    static constexpr const char* Password = "secret";
    enum class Tls { Plain, StartTls, Implicit };
    struct Options {
        Tls tls = Tls::Plain;
        std::string certificate, key; // PEM files, for TLS
        bool login = false;           // AUTH offered over TLS only, and required
        std::string address = "127.0.0.1"; // or "::1"
    };

    SmtpServer() : SmtpServer(Options{}) {}
    explicit SmtpServer(const Options& options);
    std::string Maildir() const { return Path("Maildir"); }
    // Paths of the messages stored, by name.
    std::vector<std::string> Messages() const;
};

// xinetd's built-in RFC 868 time service, on 127.0.0.1 or "::1".
class TimeServer : public RealServer {
public:
    explicit TimeServer(const std::string& address = "127.0.0.1");
};

// vsftpd: anonymous, read-only logins see AnonRoot(); the local user
// "vexmorftp" / "s3cret" (a system account the fixture creates once, so root
// only) reads and writes UserRoot(). Given a certificate, it speaks TLS:
// required for the local user and its data, offered to the anonymous one,
// after AUTH TLS or (implicit) from the first byte; data connections must
// reuse the control connection's session, as vsftpd demands by default.
class FtpServer : public RealServer {
public:
    static constexpr const char* User = "vexmorftp";
    static constexpr const char* Password = "s3cret";

    // address: "127.0.0.1", or "::1" (vsftpd's listen_ipv6).
    explicit FtpServer(const TestCa::Issued* tls = nullptr, bool implicitTls = false,
                       const std::string& address = "127.0.0.1");
    std::string AnonRoot() const { return Path("anon"); }
    std::string UserRoot() const { return Path("user"); }
    // Writes a file below AnonRoot() (readable by the anonymous user).
    void AddAnonFile(const std::string& name, const std::string& bytes);
};

} // namespace testsupport
