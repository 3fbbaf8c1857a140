// A 50 MB attachment through SendMail to an aiosmtpd started here, against curl
// uploading the same message to the same server, plain and over
// STARTTLS with a login; the longest gap of a 10 ms timer while the component
// sends; base64 and quoted-printable throughput against Python's base64 and
// quopri on the same 50 MB. Run by hand; prints the figures (medians).

#include "BenchTiming.h"
#include "framework/Application.h"
#include "mail/Inetmail.h"
#include "mail/MimeWriter.h"
#include "sock/SocketModule.h"
#include "support/Loopback.h"
#include "support/RealServers.h"
#include "support/TestCa.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <unistd.h>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <string>
#include <vector>

namespace {

std::string Python(const std::string& script)
{
    QProcess p;
    p.start("/usr/bin/python3", {"-c", QString::fromStdString(script)});
    p.waitForFinished(600000);
    return p.readAllStandardOutput().trimmed().toStdString();
}

int Rounds = 5; // the first argument, when given

// CPU time this process has used (all its threads), in ms.
double CpuMs()
{
    rusage use{};
    ::getrusage(RUSAGE_SELF, &use);
    return (double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1e3 +
            double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e3);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Sent {
    double ms = 0;
    double cpuMs = 0;
    double longestGap = 0; // of a 10 ms timer ticking meanwhile
    SendMailError error = Error_None;
};

// The file as a base64 attachment through SendMail, while a 10 ms timer ticks.
Sent SendOnce(uint16_t port, TlsMode mode, const std::string& file)
{
    SendMail mail;
    mail.SetSMTP_Server("127.0.0.1");
    mail.SMTP_Port = port;
    mail.Tls.Mode = mode;
    if (mode != TlsMode::Plain) {
        mail.SMTP_User = testsupport::SmtpServer::User;
        mail.SMTP_Password = testsupport::SmtpServer::Password;
    }
    mail.FROM_Address = "bench@example.test";
    mail.TO_Address = "to@example.test";
    mail.Subject = "50 MB";
    mail.MailText = {"attached"};
    mail.Attachments = {file};
    bool done = false;
    mail.OnDone = [&](TObject*) { done = true; };
    Sent sent;
    auto last = Clock::now();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        sent.longestGap = std::max(sent.longestGap, MsSince(last));
        last = Clock::now();
    });
    ticker.start(10);
    const auto start = Clock::now();
    const double cpu = CpuMs();
    last = start;
    mail.SetAction(Send_Mail);
    // Sleeping between events, as the window's own loop does: a loop that
    // spins takes a core from the server on a small machine.
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    sent.ms = MsSince(start);
    sent.cpuMs = CpuMs() - cpu;
    sent.error = mail.LastMailError();
    return sent;
}

// CPU time (ms) aiosmtpd, our child, has used: it parses every message it
// stores, and on a small machine it, not the client, sets the pace.
double ServerCpuMs()
{
    QDir proc("/proc");
    for (const QString& name : proc.entryList(QDir::Dirs)) {
        bool number = false;
        name.toInt(&number);
        if (!number)
            continue;
        QFile cmd("/proc/" + name + "/cmdline");
        if (!cmd.open(QIODevice::ReadOnly) || !cmd.readAll().contains("smtpd.py"))
            continue;
        QFile stat("/proc/" + name + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12 && fields[1].toInt() == ::getpid())
            return (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
    }
    return 0;
}

// Ours and curl, Rounds times each; what the server stored is removed
// after each round, so the disk does not fill.
void SendRace(const char* label, const testsupport::SmtpServer& smtp, TlsMode mode, const std::string& file,
              QStringList curlArgs, const std::string& message)
{
    curlArgs << "-s" << "--mail-from" << "bench@example.test" << "--mail-rcpt" << "to@example.test"
             << "--upload-file" << QString::fromStdString(message);
    std::vector<double> ours, ourCpu, curl, serverForOurs, serverForCurl;
    double longest = 0;
    int failures = 0;
    for (int i = 0; i < Rounds; ++i) {
        // Who goes first takes turns: the server may be slower (or quicker)
        // with the round's first message.
        for (const bool oursNow : i % 2 == 0 ? std::vector<bool>{true, false} : std::vector<bool>{false, true}) {
            const double before = ServerCpuMs();
            if (oursNow) {
                const Sent sent = SendOnce(smtp.port(), mode, file);
                ours.push_back(sent.ms);
                ourCpu.push_back(sent.cpuMs);
                longest = std::max(longest, sent.longestGap);
                failures += sent.error != Error_None;
            } else {
                curl.push_back(CurlMs(curlArgs, 600000));
            }
            (oursNow ? serverForOurs : serverForCurl).push_back(ServerCpuMs() - before);
        }
        const std::vector<std::string> stored = smtp.Messages();
        if (stored.size() != 2)
            std::fprintf(stderr, "%s: the server stored %zu messages in a round, not 2\n", label, stored.size());
        for (const std::string& path : stored)
            std::remove(path.c_str());
    }
    std::printf("50 MB attachment, %s: ours %.0f ms (%.0f ms of CPU), curl %.0f ms (median of %d; ratio %.2f); "
                "the server's CPU %.0f ms for ours, %.0f ms for curl's; longest gap of a 10 ms timer %.0f ms; "
                "failed sends %d\n",
                label, Median(ours), Median(ourCpu), Median(curl), Rounds, Median(ours) / Median(curl),
                Median(serverForOurs), Median(serverForCurl), longest, failures);
}

} // namespace

int main(int argc, char** argv)
{
    Application app(argc, argv);
    if (argc > 1)
        Rounds = std::max(1, std::atoi(argv[1]));
    StartSocketModule();
    QTemporaryDir dir;
    const std::string input = dir.path().toStdString() + "/input.bin";
    const size_t size = 50u << 20;
    std::string bytes(size, '\0');
    std::mt19937 random(1);
    for (char& c : bytes)
        c = char(random());
    std::ofstream(input, std::ios::binary) << bytes;

    // Encoder throughput, ours and Python's, on the same bytes.
    auto start = Clock::now();
    std::string out;
    out.reserve(size * 4 / 3 + size / 57 * 2 + 8);
    for (size_t at = 0; at < size; at += Base64LineBytes) {
        EncodeBase64(bytes.data() + at, std::min(Base64LineBytes, size - at), out);
        out += "\r\n";
    }
    const double base64Ms = MsSince(start);
    start = Clock::now();
    std::string qp;
    QuotedPrintableEncoder encoder;
    encoder.Encode(bytes.data(), size, qp);
    const double qpMs = MsSince(start);
    const std::string timing = "import base64, quopri, time\ndata = open('" + input + "', 'rb').read()\n"
                               "t = time.perf_counter(); base64.encodebytes(data); b = time.perf_counter() - t\n"
                               "t = time.perf_counter(); quopri.encodestring(data); q = time.perf_counter() - t\n"
                               "print(b * 1000, q * 1000)\n";
    double pyBase64 = 0, pyQp = 0;
    std::sscanf(Python(timing).c_str(), "%lf %lf", &pyBase64, &pyQp);
    std::printf("base64: ours %.0f MB/s, Python %.0f MB/s; quoted-printable: ours %.0f MB/s, Python %.1f MB/s\n",
                50e3 / base64Ms, 50e3 / pyBase64, 50e3 / qpMs, 50e3 / pyQp);

    // The component against curl, with a message of the same size, to the
    // same server: plain, then STARTTLS with a login (a test authority both
    // clients trust).
    // The message curl sends is the one we send, written by the same writer:
    // the server parses what it stores, and a multipart message costs it more
    // than a single body of the same size.
    const std::string message = dir.path().toStdString() + "/message.eml";
    {
        std::ofstream m(message, std::ios::binary);
        MimeWriter writer([&m](std::string_view bytes) { m.write(bytes.data(), std::streamsize(bytes.size())); });
        MailMessage composed;
        composed.fromAddress = "bench@example.test";
        composed.subject = "50 MB";
        composed.to = {"to@example.test|"};
        composed.text = {"attached"};
        composed.attachments = {input};
        writer.Write(composed);
    }
    {
        testsupport::SmtpServer smtp;
        if (!smtp.Problem().empty()) {
            std::fprintf(stderr, "%s\n", smtp.Problem().c_str());
            return 1;
        }
        SendRace("plain", smtp, TlsMode::Plain, input, {"--url", "smtp://127.0.0.1:" + QString::number(smtp.port())},
                 message);
    }
    {
        testsupport::TestCa ca;
        const testsupport::TestCa::Issued certificate = ca.Issue("127.0.0.1");
        testsupport::SmtpServer smtp({testsupport::SmtpServer::Tls::StartTls, certificate.certificate,
                                      certificate.key, true});
        if (!smtp.Problem().empty()) {
            std::fprintf(stderr, "%s\n", smtp.Problem().c_str());
            return 1;
        }
        const testsupport::TrustScope trust(ca.Authority());
        SendRace("STARTTLS with a login", smtp, TlsMode::StartTls, input,
                 {"--url", "smtp://127.0.0.1:" + QString::number(smtp.port()), "--ssl-reqd", "--cacert",
                  QString::fromStdString(ca.Authority()), "--user",
                  QString(testsupport::SmtpServer::User) + ":" + testsupport::SmtpServer::Password},
                 message);
    }
    EndSocketModule();
    return 0;
}
