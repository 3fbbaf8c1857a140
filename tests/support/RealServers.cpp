#include "support/RealServers.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <chrono>
#include <arpa/inet.h>
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

} // namespace

RealServer::~RealServer()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(2000);
    }
}

std::string RealServer::Path(const std::string& name) const
{
    return dir_.path().toStdString() + "/" + name;
}

bool RealServer::Installed(const char* program, const std::string& package)
{
    if (QFile::exists(program))
        return true;
    problem_ = std::string(program) + " is not installed (tools/install-deps.sh installs " + package + ")";
    return false;
}

bool RealServer::Write(const std::string& name, const std::string& text)
{
    if (WriteFile(Path(name), text))
        return true;
    problem_ = "cannot write " + Path(name);
    return false;
}

namespace {

// Whether something accepts a connection on address (a loopback literal of either family) and port.
bool AcceptsOn(const std::string& address, uint16_t port)
{
    if (address == "127.0.0.1")
        return Accepts(port);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    ::inet_pton(AF_INET6, address.c_str(), &to.sin6_addr);
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool up = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    ::close(fd);
    return up;
}

} // namespace

void RealServer::Start(const char* program, const QStringList& arguments, const std::string& failure, int timeoutMs)
{
    if (!problem_.empty())
        return;
    process_.start(program, arguments);
    bool up = process_.waitForStarted(5000);
    // Nothing else can listen on the reserved port: whatever accepts there is this server.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (up && !AcceptsOn(address_, port()))
        up = process_.state() == QProcess::Running && std::chrono::steady_clock::now() < deadline &&
             !process_.waitForFinished(20);
    if (!up)
        problem_ = failure;
}

DovecotServer::DovecotServer(const TestCa::Issued* tls, const std::string& address)
{
    address_ = address;
    if (!Installed("/usr/sbin/dovecot", "dovecot-pop3d"))
        return;
    // Dovecot will not deliver mail as root: the mailbox belongs to nobody then.
    const bool root = ::geteuid() == 0;
    const unsigned uid = root ? 65534 : ::geteuid(), gid = root ? 65534 : ::getegid();
    ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
    for (const char* sub : {"run", "state", "home", "mail/alice/new", "mail/alice/cur", "mail/alice/tmp"})
        QDir().mkpath(QString::fromStdString(Path(sub)));
    const std::string conf =
        "base_dir = " + Path("run") + "\nstate_dir = " + Path("state") + "\nlog_path = " + Path("dovecot.log") +
        "\nprotocols = pop3\nlisten = " + address_ + "\n" +
        (tls ? "ssl = required\nssl_cert = <" + tls->certificate + "\nssl_key = <" + tls->key +
                   "\ndisable_plaintext_auth = yes\n"
             : std::string("ssl = no\ndisable_plaintext_auth = no\n")) +
        "auth_mechanisms = plain\nauth_failure_delay = 0\nfirst_valid_uid = 1\nmail_location = maildir:" + Path("mail") + "/%u\n"
        "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " + Path("passwd") + "\n}\n"
        "userdb {\n  driver = static\n  args = uid=" + std::to_string(uid) + " gid=" + std::to_string(gid) +
        " home=" + Path("home") + "/%u\n}\n"
        "service pop3-login {\n  inet_listener pop3 {\n    address = " + address_ + "\n    port = " +
        std::to_string(port()) + "\n  }\n" +
        (tls ? "  inet_listener pop3s {\n    address = " + address_ + "\n    port = " + std::to_string(tlsPort()) +
                   "\n    ssl = yes\n  }\n"
             : std::string()) +
        "}\n";
    if (!Write("dovecot.conf", conf) || !Write("passwd", "alice:{PLAIN}secret\n"))
        return;
    for (const char* sub : {"mail/alice", "mail/alice/new", "mail/alice/cur", "mail/alice/tmp", "home"})
        if (root && ::chown(Path(sub).c_str(), uid, gid) != 0)
            problem_ = "cannot hand the mailbox to its user";
    Start("/usr/sbin/dovecot", {"-F", "-c", QString::fromStdString(Path("dovecot.conf"))},
          "dovecot did not start; see " + Path("dovecot.log"));
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

SmtpServer::SmtpServer(const Options& options)
{
    address_ = options.address;
    if (!Installed("/usr/bin/python3", "python3-aiosmtpd"))
        return;
    if (QProcess::execute("/usr/bin/python3", {"-c", "import aiosmtpd"}) != 0) {
        problem_ = "aiosmtpd is not installed (tools/install-deps.sh installs python3-aiosmtpd)";
        return;
    }
    // aiosmtpd's command line knows no TLS and no login: a few lines build the server.
    const char* script = R"(import asyncio, ssl, sys, warnings
from aiosmtpd.handlers import Mailbox
from aiosmtpd.smtp import SMTP, AuthResult
port, maildir, mode, cert, key, login, address = sys.argv[1:8]
warnings.simplefilter('ignore')  # the login on implicit TLS is no risk here
context = None
if mode != 'plain':
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
options = dict(data_size_limit=300000000, hostname='mail.test')
if mode == 'starttls':
    options.update(tls_context=context, require_starttls=True)
if login == 'yes':
    def check(server, session, envelope, mechanism, data):
        ok = data.login == b'alice' and data.password == b'secret'
        return AuthResult(success=ok, handled=False)  # handled=False: aiosmtpd answers 535
    # An implicit-TLS connection is encrypted, though aiosmtpd sees no STARTTLS.
    options.update(authenticator=check, auth_required=True, auth_require_tls=mode != 'implicit')
handler = Mailbox(maildir)
loop = asyncio.new_event_loop()
loop.run_until_complete(loop.create_server(lambda: SMTP(handler, **options), address, int(port),
                                           ssl=context if mode == 'implicit' else None, reuse_address=True))
loop.run_forever()
)";
    if (!Write("smtpd.py", script))
        return;
    const char* mode = options.tls == Tls::Plain ? "plain" : options.tls == Tls::StartTls ? "starttls" : "implicit";
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Start("/usr/bin/python3",
          {QString::fromStdString(Path("smtpd.py")), QString::number(port()), QString::fromStdString(Maildir()), mode,
           QString::fromStdString(options.certificate), QString::fromStdString(options.key),
           options.login ? "yes" : "no", QString::fromStdString(options.address)},
          "aiosmtpd did not start", 15000);
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

TimeServer::TimeServer(const std::string& address)
{
    address_ = address;
    if (!Installed("/usr/sbin/xinetd", "xinetd"))
        return;
    const std::string conf = "defaults\n{\n}\nservice time\n{\n  type = INTERNAL UNLISTED\n  id = time-stream\n"
                             "  socket_type = stream\n  protocol = tcp\n  wait = no\n  user = " +
                             std::string(::geteuid() == 0 ? "root" : "nobody") +
                             "\n  bind = " + address_ + "\n  port = " + std::to_string(port()) + "\n}\n";
    if (!Write("xinetd.conf", conf))
        return;
    Start("/usr/sbin/xinetd",
          {"-dontfork", "-f", QString::fromStdString(Path("xinetd.conf")), "-pidfile",
           QString::fromStdString(Path("xinetd.pid"))},
          "xinetd did not start its time service");
}

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

FtpServer::FtpServer(const TestCa::Issued* tls, bool implicitTls, const std::string& address)
{
    address_ = address;
    if (!Installed("/usr/sbin/vsftpd", "vsftpd"))
        return;
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
    const std::string conf =
        (address_.find(':') != std::string::npos ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=" + address_
                                                 : "listen=YES\nlisten_ipv6=NO\nlisten_address=" + address_) +
        "\nlisten_port=" + std::to_string(port()) +
        "\nbackground=NO\nanonymous_enable=YES\nanon_root=" + AnonRoot() +
        "\nno_anon_password=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\nlocal_root=" + UserRoot() +
        "\nchroot_local_user=YES\nallow_writeable_chroot=YES\nsecure_chroot_dir=" + Path("empty") +
        "\npam_service_name=vsftpd\nseccomp_sandbox=NO\npasv_enable=YES\npasv_address=127.0.0.1\n"
        "port_enable=YES\nconnect_from_port_20=NO\nxferlog_enable=NO\nuserlist_enable=NO\n"
        "vsftpd_log_file=" + Path("vsftpd.log") + "\n" +
        // require_ssl_reuse and force_local_*_ssl stay at their defaults (YES).
        (tls ? "ssl_enable=YES\nrsa_cert_file=" + tls->certificate + "\nrsa_private_key_file=" + tls->key +
                   "\nallow_anon_ssl=YES\nssl_ciphers=HIGH\ndebug_ssl=YES\nlog_ftp_protocol=YES\n" +
                   (implicitTls ? "implicit_ssl=YES\n" : "")
             : std::string());
    if (!Write("vsftpd.conf", conf))
        return;
    Start("/usr/sbin/vsftpd", {QString::fromStdString(Path("vsftpd.conf"))},
          "vsftpd did not start; see " + Path("vsftpd.log"));
}

void FtpServer::AddAnonFile(const std::string& name, const std::string& bytes)
{
    WriteFile(AnonRoot() + "/" + name, bytes);
    ::chmod((AnonRoot() + "/" + name).c_str(), 0644);
}

} // namespace testsupport
