#include "support/RealServers.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool WriteFile(const std::string& path, const std::string& text)
{
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::WriteOnly) && f.write(text.data(), qint64(text.size())) == qint64(text.size());
}

void Stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

} // namespace

uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

bool WaitForListener(uint16_t port, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (up)
            return true;
        QThread::msleep(20);
    }
    return false;
}

DovecotServer::DovecotServer()
{
    if (!QFile::exists("/usr/sbin/dovecot")) {
        problem_ = "dovecot is not installed (tools/install-deps.sh installs dovecot-pop3d)";
        return;
    }
    // Dovecot will not deliver mail as root: the mailbox belongs to nobody then.
    const bool root = ::geteuid() == 0;
    const unsigned uid = root ? 65534 : ::geteuid(), gid = root ? 65534 : ::getegid();
    ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
    for (const char* sub : {"run", "state", "home", "mail/alice/new", "mail/alice/cur", "mail/alice/tmp"})
        QDir().mkpath(QString::fromStdString(Path(sub)));
    port_ = FreePort();
    const std::string conf =
        "base_dir = " + Path("run") + "\nstate_dir = " + Path("state") + "\nlog_path = " + Path("dovecot.log") +
        "\nprotocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
        "auth_mechanisms = plain\nauth_failure_delay = 0\nfirst_valid_uid = 1\nmail_location = maildir:" + Path("mail") + "/%u\n"
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + Path("passwd") + "\n}\n"
        "userdb {\n  driver = static\n  args = uid=" + std::to_string(uid) + " gid=" + std::to_string(gid) +
        " home=" + Path("home") + "/%u\n}\n"
        "service pop3-login {\n  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " +
        std::to_string(port_) + "\n  }\n}\n";
    if (!WriteFile(Path("dovecot.conf"), conf) || !WriteFile(Path("passwd"), "alice:{PLAIN}secret\n")) {
        problem_ = "cannot write the dovecot configuration";
        return;
    }
    if (root && ::chown(Path("mail/alice").c_str(), uid, gid) != 0) {
        problem_ = "cannot hand the mailbox to its user";
        return;
    }
    for (const char* sub : {"mail/alice/new", "mail/alice/cur", "mail/alice/tmp", "home"})
        if (root && ::chown(Path(sub).c_str(), uid, gid) != 0)
            problem_ = "cannot hand the mailbox to its user";
    process_.start("/usr/sbin/dovecot", {"-F", "-c", QString::fromStdString(Path("dovecot.conf"))});
    if (!process_.waitForStarted(5000) || !WaitForListener(port_, 10000))
        problem_ = "dovecot did not start; see " + Path("dovecot.log");
}

DovecotServer::~DovecotServer()
{
    Stop(process_);
}

std::string DovecotServer::Path(const std::string& name) const
{
    return dir_.path().toStdString() + "/" + name;
}

void DovecotServer::AddMessage(const std::string& text)
{
    const std::string file = Path("mail/alice/new/" + std::to_string(1000000 + added_++) + ".vexmor");
    WriteFile(file, text);
    if (::geteuid() == 0 && ::chown(file.c_str(), 65534, 65534) != 0)
        problem_ = "cannot hand a message to its user";
}

int DovecotServer::MessageCount() const
{
    int n = 0;
    for (const char* sub : {"mail/alice/new", "mail/alice/cur"})
        n += int(QDir(QString::fromStdString(Path(sub))).entryList(QDir::Files).size());
    return n;
}

bool DovecotServer::HasMessageWith(const std::string& text) const
{
    for (const char* sub : {"mail/alice/new", "mail/alice/cur"}) {
        const QDir d(QString::fromStdString(Path(sub)));
        for (const QString& name : d.entryList(QDir::Files)) {
            QFile f(d.filePath(name));
            if (f.open(QIODevice::ReadOnly) && f.readAll().contains(text.c_str()))
                return true;
        }
    }
    return false;
}

SmtpServer::SmtpServer()
{
    if (!QFile::exists("/usr/bin/python3") ||
        QProcess::execute("/usr/bin/python3", {"-c", "import aiosmtpd"}) != 0) {
        problem_ = "aiosmtpd is not installed (tools/install-deps.sh installs python3-aiosmtpd)";
        return;
    }
    port_ = FreePort();
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start("/usr/bin/python3", {"-m", "aiosmtpd", "-n", "-l", "127.0.0.1:" + QString::number(port_),
                                        "-s", "300000000", "-c", "aiosmtpd.handlers.Mailbox",
                                        QString::fromStdString(Maildir())});
    if (!process_.waitForStarted(5000) || !WaitForListener(port_, 15000))
        problem_ = "aiosmtpd did not start";
}

SmtpServer::~SmtpServer()
{
    Stop(process_);
}

std::vector<std::string> SmtpServer::Messages() const
{
    std::vector<std::string> paths;
    for (const char* sub : {"/new", "/cur"}) {
        const QDir d(QString::fromStdString(Maildir() + sub));
        for (const QString& name : d.entryList(QDir::Files, QDir::Name))
            paths.push_back(d.filePath(name).toStdString());
    }
    return paths;
}

TimeServer::TimeServer()
{
    if (!QFile::exists("/usr/sbin/xinetd")) {
        problem_ = "xinetd is not installed (tools/install-deps.sh installs it)";
        return;
    }
    port_ = FreePort();
    const std::string conf = "defaults\n{\n}\nservice time\n{\n  type = INTERNAL UNLISTED\n  id = time-stream\n"
                             "  socket_type = stream\n  protocol = tcp\n  wait = no\n  user = " +
                             std::string(::geteuid() == 0 ? "root" : "nobody") +
                             "\n  bind = 127.0.0.1\n  port = " + std::to_string(port_) + "\n}\n";
    const std::string path = dir_.path().toStdString() + "/xinetd.conf";
    if (!WriteFile(path, conf)) {
        problem_ = "cannot write the xinetd configuration";
        return;
    }
    process_.start("/usr/sbin/xinetd", {"-dontfork", "-f", QString::fromStdString(path), "-pidfile",
                                        dir_.path() + "/xinetd.pid"});
    if (!process_.waitForStarted(5000) || !WaitForListener(port_, 10000))
        problem_ = "xinetd did not start its time service";
}

TimeServer::~TimeServer()
{
    Stop(process_);
}

} // namespace testsupport

namespace testsupport {

namespace {

// The local user's account, created once per machine. useradd takes the
// password's hash, so no second tool has to lock the password file.
std::string EnsureFtpUser()
{
    if (::getpwnam(FtpServer::User))
        return {};
    const QString hash = "$6$ePj8ytTsYTBtZrbq$NIJgMyDXzzY.IzP.bLBk8S4ZKQOl4F1Jlb6rzW7w64NStR4sx..iSSeGllM1zb6lqbeiUrFu7ta/"
                         "AyYCXte920";
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int rc = QProcess::execute("/usr/sbin/useradd",
                                         {"-M", "-d", "/", "-s", "/bin/sh", "-p", hash, FtpServer::User});
        if (rc == 0 || rc == 9) // 9: another test made it meanwhile
            return {};
        if (rc != 10) // 10: the password file is locked by a parallel useradd
            return "useradd failed with exit code " + std::to_string(rc);
        QThread::msleep(100);
    }
    return "the password file stayed locked";
}

} // namespace

FtpServer::FtpServer()
{
    if (!QFile::exists("/usr/sbin/vsftpd")) {
        problem_ = "vsftpd is not installed (tools/install-deps.sh installs it)";
        return;
    }
    if (::geteuid() != 0) {
        problem_ = "the FTP fixture needs root: vsftpd switches users and its local user is a system account";
        return;
    }
    problem_ = EnsureFtpUser();
    if (!problem_.empty())
        return;
    ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
    for (const char* sub : {"anon", "user", "empty"})
        QDir().mkpath(QString::fromStdString(Path(sub)));
    ::chmod(Path("anon").c_str(), 0755);
    ::chmod(Path("empty").c_str(), 0755);
    struct passwd* pw = ::getpwnam(User);
    if (!pw || ::chown(Path("user").c_str(), pw->pw_uid, pw->pw_gid) != 0) {
        problem_ = "cannot hand the user's folder to " + std::string(User);
        return;
    }
    port_ = FreePort();
    const std::string conf =
        "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port_) +
        "\nbackground=NO\nanonymous_enable=YES\nanon_root=" + AnonRoot() +
        "\nno_anon_password=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\nlocal_root=" + UserRoot() +
        "\nchroot_local_user=YES\nallow_writeable_chroot=YES\nsecure_chroot_dir=" + Path("empty") +
        "\npam_service_name=vsftpd\nseccomp_sandbox=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
        "port_enable=YES\nconnect_from_port_20=NO\nxferlog_enable=NO\nuserlist_enable=NO\n"
        "vsftpd_log_file=" + Path("vsftpd.log") + "\n";
    if (!WriteFile(Path("vsftpd.conf"), conf)) {
        problem_ = "cannot write the vsftpd configuration";
        return;
    }
    process_.start("/usr/sbin/vsftpd", {QString::fromStdString(Path("vsftpd.conf"))});
    if (!process_.waitForStarted(5000) || !WaitForListener(port_, 10000))
        problem_ = "vsftpd did not start; see " + Path("vsftpd.log");
}

FtpServer::~FtpServer()
{
    Stop(process_);
}

std::string FtpServer::Path(const std::string& name) const
{
    return dir_.path().toStdString() + "/" + name;
}

void FtpServer::AddAnonFile(const std::string& name, const std::string& bytes)
{
    WriteFile(AnonRoot() + "/" + name, bytes);
    ::chmod((AnonRoot() + "/" + name).c_str(), 0644);
}

} // namespace testsupport
