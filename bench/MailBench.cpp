// A 50 MB attachment through SendMail to an aiosmtpd started here, against curl
// uploading a message of the same size to the same server; the longest gap of
// a 10 ms timer while the component sends; base64 and quoted-printable
// throughput against Python's base64 and quopri on the same 50 MB.
// Run by hand; prints the figures.

#include "framework/Application.h"
#include "mail/Inetmail.h"
#include "sock/SocketModule.h"
#include "support/Loopback.h"
#include "support/RealServers.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

std::string Python(const std::string& script)
{
    QProcess p;
    p.start("/usr/bin/python3", {"-c", QString::fromStdString(script)});
    p.waitForFinished(600000);
    return p.readAllStandardOutput().trimmed().toStdString();
}

} // namespace

int main(int argc, char** argv)
{
    Application app(argc, argv);
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

    testsupport::SmtpServer smtp;
    if (!smtp.Problem().empty()) {
        std::fprintf(stderr, "%s\n", smtp.Problem().c_str());
        return 1;
    }
    // The component: 50 MB as a base64 attachment, while a 10 ms timer ticks.
    SendMail mail;
    mail.SetSMTP_Server("127.0.0.1");
    mail.SMTP_Port = smtp.port();
    mail.FROM_Address = "bench@example.test";
    mail.TO_Address = "to@example.test";
    mail.Subject = "50 MB";
    mail.MailText = {"attached"};
    mail.Attachments = {input};
    bool done = false;
    mail.OnDone = [&](TObject*) { done = true; };
    double longest = 0;
    auto last = Clock::now();
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, MsSince(last));
        last = Clock::now();
    });
    ticker.start(10);
    start = Clock::now();
    last = start;
    mail.SetAction(Send_Mail);
    while (!done)
        Application::ProcessMessages();
    const double ours = MsSince(start);
    ticker.stop();

    // curl with a message of the same size, to the same server.
    const std::string message = dir.path().toStdString() + "/message.eml";
    {
        std::ofstream m(message, std::ios::binary);
        m << "From: bench@example.test\r\nTo: to@example.test\r\nSubject: 50 MB\r\n\r\n" << out;
    }
    start = Clock::now();
    QProcess curl;
    curl.start("curl", {"-s", "--url", "smtp://127.0.0.1:" + QString::number(smtp.port()), "--mail-from",
                        "bench@example.test", "--mail-rcpt", "to@example.test", "--upload-file",
                        QString::fromStdString(message)});
    curl.waitForFinished(600000);
    const double curlMs = MsSince(start);
    std::printf("50 MB attachment: ours %.0f ms, curl %.0f ms (ratio %.2f); longest gap of a 10 ms timer %.0f ms; "
                "last error %d\n",
                ours, curlMs, ours / curlMs, longest, int(mail.LastMailError()));
    EndSocketModule();
    return 0;
}
