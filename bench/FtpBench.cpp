// FTP against a vsftpd started here (as the tests start it): RETR of a 100 MB
// file in both transfer styles against curl fetching the same file, and one
// keep-alive attempt (login and logout) against curl listing the root with the
// same anonymous login; on a plain connection, then with AUTH TLS and
// protected data (a test authority both clients trust). Then the timer's
// lateness over 1,000 ticks of 10 ms. Run by hand, as root; the first
// argument is the number of rounds; prints the figures (medians).

#include "BenchTiming.h"
#include "desktop/HiResTim.h"
#include "framework/Application.h"
#include "sock/AddressHelpers.h"
#include "sock/SocketModule.h"
#include "support/RealServers.h"
#include "support/TestCa.h"
#include "tcpip/T_FTP.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace {

int Rounds = 5; // the first argument, when given

void Aim(T_FTP& ftp, uint16_t port, TlsMode mode)
{
    ftp.Hostname = "127.0.0.1";
    ftp.Port = port;
    ftp.Username = "anonymous";
    ftp.Tls.Mode = mode;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What protects the connections: the TLS lines of a traced download of a
// small file, so a figure is never taken for protected when it was not.
void ShowProtection(uint16_t port, TlsMode mode)
{
    T_FTP ftp;
    Aim(ftp, port, mode);
    ftp.OnTrace = [](const std::string& line, TTraceLevel) {
        if (line.rfind("TLS:", 0) == 0 || line.rfind("PROT", 0) == 0 || line.rfind("AUTH", 0) == 0)
            std::printf("  %s\n", line.c_str());
    };
    ftp.URI = "small.bin";
    ftp.Login();
    ftp.Download();
    ftp.Logout();
}

// curlTls: what curl needs for the same protection as mode.
void Transfers(const char* label, uint16_t port, TlsMode mode, const QStringList& curlTls)
{
    const QString url = "ftp://127.0.0.1:" + QString::number(port) + "/big.bin";
    // We keep what we download in memory; curl, writing to /dev/null, keeps
    // nothing. curl writing into memory (a file on tmpfs) shows what keeping
    // 100 MB costs here.
    const QTemporaryDir shm(QStringLiteral("/dev/shm/ftp_bench-XXXXXX"));
    const QString kept = shm.isValid() ? shm.filePath("big.bin") : QString();
    std::vector<double> curl, curlKept, blocking, async, login, curlList;
    for (int round = 0; round < Rounds; ++round) {
        curl.push_back(CurlMs(QStringList{"-s", "--disable-epsv", url, "-o", "/dev/null"} + curlTls, 120000));
        if (!kept.isEmpty()) {
            curlKept.push_back(CurlMs(QStringList{"-s", "--disable-epsv", url, "-o", kept} + curlTls, 120000));
            QFile::remove(kept);
        }
        for (const bool style : {false, true}) {
            T_FTP ftp;
            Aim(ftp, port, mode);
            ftp.Async = style;
            ftp.URI = "big.bin";
            const auto start = Clock::now();
            ftp.Login();
            ftp.Download();
            ftp.Logout();
            (style ? async : blocking).push_back(MsSince(start));
            if (ftp.ReceiveStream.size() != (100u << 20))
                std::fprintf(stderr, "short download: %zu\n", ftp.ReceiveStream.size());
        }
        T_FTP alive;
        Aim(alive, port, mode);
        const auto start = Clock::now();
        alive.Login();
        alive.Logout();
        login.push_back(MsSince(start));
        curlList.push_back(CurlMs(QStringList{"-s", "-u", "anonymous:vexmor@zembrova.example",
                                              "ftp://127.0.0.1:" + QString::number(port) + "/", "-o", "/dev/null"} +
                                  curlTls, 120000));
    }
    std::printf("RETR 100 MB, %s, median of %d: curl %.0f ms, blocking %.0f ms (%.2fx), async %.0f ms (%.2fx)\n",
                label, Rounds, Median(curl), Median(blocking), Median(blocking) / Median(curl), Median(async),
                Median(async) / Median(curl));
    if (!curlKept.empty())
        std::printf("  curl into memory (tmpfs) %.0f ms: blocking %.2fx, async %.2fx of it\n", Median(curlKept),
                    Median(blocking) / Median(curlKept), Median(async) / Median(curlKept));
    std::printf("keep-alive attempt (login + logout), %s, median of %d: %.1f ms; curl listing the root: %.1f ms\n",
                label, Rounds, Median(login), Median(curlList));
}

void TimerJitter()
{
    THiResTimer timer;
    timer.Interval = 10;
    std::mutex m;
    std::vector<double> late;
    late.reserve(1000);
    const auto start = Clock::now();
    timer.OnTimer = [&](TObject*) {
        std::lock_guard<std::mutex> lock(m);
        const double due = 10.0 * double(late.size() + 1);
        late.push_back(MsSince(start) - due);
    };
    timer.SetEnabled(true);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (late.size() >= 1000)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    timer.SetEnabled(false);
    std::vector<double> first(late.begin(), late.begin() + 1000);
    std::sort(first.begin(), first.end());
    std::printf("timer, 1,000 ticks of 10 ms: median lateness %.3f ms, worst %.3f ms\n", first[500], first.back());
}

} // namespace

int main(int argc, char** argv)
{
    Application app(argc, argv);
    if (argc > 1)
        Rounds = std::max(1, std::atoi(argv[1]));
    StartAddressHelpers();
    StartSocketModule();
    std::string big(100u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char((i * 2654435761u) >> 13);
    {
        testsupport::FtpServer server;
        if (!server.Problem().empty()) {
            std::fprintf(stderr, "%s\n", server.Problem().c_str());
        } else {
            server.AddAnonFile("big.bin", big);
            Transfers("plain", server.port(), TlsMode::Plain, {});
        }
    }
    {
        testsupport::TestCa ca;
        const testsupport::TestCa::Issued certificate = ca.Issue("127.0.0.1");
        testsupport::FtpServer server(&certificate);
        if (!server.Problem().empty()) {
            std::fprintf(stderr, "%s\n", server.Problem().c_str());
        } else {
            const testsupport::TrustScope trust(ca.Authority());
            server.AddAnonFile("big.bin", big);
            server.AddAnonFile("small.bin", "small");
            ShowProtection(server.port(), TlsMode::StartTls);
            Transfers("AUTH TLS", server.port(), TlsMode::StartTls,
                      {"--ssl-reqd", "--cacert", QString::fromStdString(ca.Authority())});
        }
    }
    big = std::string(); // the timer runs without 100 MB held
    TimerJitter();
    EndSocketModule();
    EndAddressHelpers();
    return 0;
}
