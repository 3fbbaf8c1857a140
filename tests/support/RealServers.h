#pragma once

// Real servers from Debian's packages, started by a test on 127.0.0.1 with a
// configuration of their own in a temporary folder, on a free port, and
// stopped with their object. Each says why it cannot run (empty when it can).

#include <QProcess>
#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// Dovecot's POP3 service with one passwd-file user, "alice" / "secret",
// whose Maildir the test fills.
class DovecotServer {
public:
    DovecotServer();
    ~DovecotServer();
    const std::string& Problem() const { return problem_; }
    uint16_t port() const { return port_; }
    // Adds a message (its text with CR LF or LF line ends) to alice's mailbox.
    void AddMessage(const std::string& text);
    // Messages now in alice's mailbox (new and cur).
    int MessageCount() const;
    bool HasMessageWith(const std::string& text) const;

private:
    std::string Path(const std::string& name) const;
    QTemporaryDir dir_;
    QProcess process_;
    uint16_t port_ = 0;
    int added_ = 0;
    std::string problem_;
};

// aiosmtpd (Debian's python3-aiosmtpd, run by the system's Python), storing
// every message it accepts in a Maildir.
class SmtpServer {
public:
    SmtpServer();
    ~SmtpServer();
    const std::string& Problem() const { return problem_; }
    uint16_t port() const { return port_; }
    std::string Maildir() const { return dir_.path().toStdString() + "/Maildir"; }
    // Paths of the messages stored so far.
    std::vector<std::string> Messages() const;

private:
    QTemporaryDir dir_;
    QProcess process_;
    uint16_t port_ = 0;
    std::string problem_;
};

// xinetd's built-in RFC 868 time service.
class TimeServer {
public:
    TimeServer();
    ~TimeServer();
    const std::string& Problem() const { return problem_; }
    uint16_t port() const { return port_; }

private:
    QTemporaryDir dir_;
    QProcess process_;
    uint16_t port_ = 0;
    std::string problem_;
};

// vsftpd: anonymous, read-only logins see AnonRoot(); the local user
// "vexmorftp" / "s3cret" (a system account the fixture creates once, so root
// only) reads and writes UserRoot().
class FtpServer {
public:
    static constexpr const char* User = "vexmorftp";
    static constexpr const char* Password = "s3cret";

    FtpServer();
    ~FtpServer();
    const std::string& Problem() const { return problem_; }
    uint16_t port() const { return port_; }
    std::string AnonRoot() const { return Path("anon"); }
    std::string UserRoot() const { return Path("user"); }
    // Writes a file below AnonRoot() (readable by the anonymous user).
    void AddAnonFile(const std::string& name, const std::string& bytes);

private:
    std::string Path(const std::string& name) const;
    QTemporaryDir dir_;
    QProcess process_;
    uint16_t port_ = 0;
    std::string problem_;
};

// A port on 127.0.0.1 that nothing listens on at the moment.
uint16_t FreePort();
// Waits until something accepts connections on 127.0.0.1:port.
bool WaitForListener(uint16_t port, int timeoutMs);

} // namespace testsupport
