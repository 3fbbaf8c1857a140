// 20 MB through the finger command from a local server on 127.0.0.1:79 (root),
// once in 80-byte lines and once with no line end at all: wall time, peak RSS
// and the longest event-loop stall of each. Run by hand; prints the figures.

#include "BenchTiming.h"
#include "StallMeter.h"
#include "app/ProgramModules.h"
#include "app/TformVexmor.h"
#include "framework/Application.h"

#include <QLineEdit>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Accepts one connection, reads the query line and answers with bytes of text,
// in lines or as one unbroken run.
int Serve(size_t bytes, bool lines, std::thread& server)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(79);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0)
        return -1;
    server = std::thread([listener, bytes, lines] {
        const int c = ::accept(listener, nullptr, nullptr);
        char ch;
        while (::read(c, &ch, 1) == 1 && ch != '\n') {
        }
        std::string line(78, 'x');
        line += lines ? "\r\n" : "xx";
        std::string block;
        while (block.size() < 65536)
            block += line;
        for (size_t sent = 0; sent < bytes;) {
            const ssize_t n = ::write(c, block.data(), std::min(block.size(), bytes - sent));
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        ::close(c);
        ::close(listener);
    });
    return 0;
}

// One finger run in a fresh window; prints its figures.
int Measure(size_t bytes, bool lines)
{
    TformVexmor window;
    window.show();
    Application::ProcessMessages();

    std::thread server;
    if (Serve(bytes, lines, server) != 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1:79 (needs root)\n");
        return 1;
    }
    StallMeter stalls(10);

    window.hostname->setText("127.0.0.1");
    const auto start = Clock::now();
    stalls.Restart();
    window.bFinger->click();
    const QTextDocument* doc = window.verbose->document();
    while (doc->lastBlock().text() != "Socket Closed")
        Application::ProcessMessages();
    const double wall = MsSince(start);
    server.join();

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    std::printf("finger of %zu MB %s: %.0f ms wall (%.1f MB/s), peak RSS %ld MB, longest stall %.0f ms, "
                "%d transcript lines\n",
                bytes >> 20, lines ? "in 80-byte lines" : "with no line end", wall,
                double(bytes) / 1048576.0 / (wall / 1000.0), usage.ru_maxrss / 1024, stalls.LongestMs(),
                doc->blockCount());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const size_t bytes = argc > 1 ? std::stoul(argv[1]) << 20 : size_t(20) << 20;
    Application app(argc, argv);
    ProgramModules modules;
    return Measure(bytes, true) != 0 || Measure(bytes, false) != 0 ? 1 : 0;
}
