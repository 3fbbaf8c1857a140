// The main window's mail commands against a local POP3 server that answers as
// fast as loopback allows: the headers of 100,000 messages, then viewing a
// 10 MB message. Prints the wall time of each and the longest stall of the
// window's event loop (the largest gap between ticks of a 5 ms timer).
// Run by hand: mail_window_bench [messages]

#include "BenchTiming.h"
#include "StallMeter.h"
#include "app/ProgramModules.h"
#include "app/TformVexmor.h"
#include "framework/Application.h"
#include "tcpip/T_Pop3.h"

#include <QAction>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A POP3 server on 127.0.0.1 for one mailbox: count messages, message(n)
// gives the text of message n. Connections are served one after another.
class Pop3Server {
public:
    Pop3Server(int count, std::function<std::string(int)> message) : count_(count), message_(std::move(message))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = ::accept(listener_, nullptr, nullptr);
                if (c < 0 || stop_)
                    break;
                Serve(c);
                ::close(c);
            }
        });
    }
    ~Pop3Server()
    {
        stop_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    uint16_t port() const { return port_; }

private:
    void Serve(int c)
    {
        std::string in, out = "+OK ready\r\n";
        char block[65536];
        for (;;) {
            if (!out.empty() && !Write(c, out))
                return;
            out.clear();
            const size_t end = in.find('\n');
            if (end == std::string::npos) {
                const ssize_t n = ::read(c, block, sizeof block);
                if (n <= 0)
                    return;
                in.append(block, size_t(n));
                continue;
            }
            std::string line = in.substr(0, end);
            in.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::string verb = line.substr(0, 4);
            const size_t space = line.find(' ');
            const int n = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
            if (verb == "LIST") {
                out = "+OK\r\n";
                for (int i = 1; i <= count_; ++i)
                    out += std::to_string(i) + " " + std::to_string(message_(i).size()) + "\r\n";
                out += ".\r\n";
            } else if ((verb == "TOP " || verb == "RETR") && n >= 1 && n <= count_) {
                std::string text = message_(n);
                if (verb == "TOP ")
                    text = text.substr(0, text.find("\r\n\r\n") + 4);
                out = "+OK\r\n" + text + ".\r\n"; // no line of these starts with "."
            } else if (verb == "QUIT") {
                Write(c, "+OK bye\r\n");
                return;
            } else {
                out = "+OK\r\n";
            }
        }
    }
    static bool Write(int c, const std::string& bytes)
    {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(c, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += size_t(n);
        }
        return true;
    }

    int count_;
    std::function<std::string(int)> message_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Runs fn, reporting its time and the longest stall of the event loop.
void Measure(const std::string& what, const std::function<void()>& fn, const std::vector<std::string>& errors)
{
    StallMeter stalls(5);
    const size_t before = errors.size();
    const auto start = Clock::now();
    stalls.Restart();
    try {
        fn();
    } catch (const std::exception& e) {
        std::printf("%s: raised %s\n", what.c_str(), e.what());
    }
    const double wall = MsSince(start);
    std::printf("%-48s %7.0f ms wall, longest stall %5.0f ms%s%s\n", what.c_str(), wall, stalls.LongestMs(),
                errors.size() == before ? "" : ", error: ", errors.size() == before ? "" : errors.back().substr(0, 160).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures show as they come
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir config; // never the user's settings
    ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    Application app(argc, argv);
    std::vector<std::string> errors;
    App()->SetErrorReporter([&](const std::string&, const std::string& m) { errors.push_back(m); });
    ProgramModules modules;
    auto window = std::make_unique<TformVexmor>();
    window->show();
    Application::ProcessMessages();
    window->hostname->setText("127.0.0.1");
    window->username->setText("alice");
    window->password->setText("secret");
    const auto summary = [](int n) {
        return "From: sender" + std::to_string(n) + "@example.test\r\nSubject: message " + std::to_string(n) +
               "\r\n\r\nbody\r\n";
    };
    std::string big = "From: big@example.test\r\nSubject: big\r\n\r\n";
    while (big.size() < 10u * 1024 * 1024)
        big += std::string(78, 'b') + "\r\n";
    const std::string headers = std::to_string(count) + " message headers";
    Pop3Server many(count, summary);
    Pop3Server one(1, [&big](int) { return big; });
    // The client alone first, so the window's state takes no part in its figures.
    T_Pop3 pop;
    pop.Hostname = "127.0.0.1";
    pop.UserName = "alice";
    pop.Password = "secret";
    pop.RemotePort = many.port();
    Measure("client: login, list and " + headers, [&] { pop.Login(); pop.GetHeaders(); pop.Logout(); }, errors);
    pop.RemotePort = one.port();
    Measure("client: retrieve a 10 MB message", [&] { pop.Login(); pop.Retrieve(1); pop.Logout(); }, errors);

    window->pop_mail->RemotePort = many.port();
    Measure("window: " + headers, [&] { window->popmailHeaders->trigger(); }, errors);
    std::printf("  %d rows\n", window->details->topLevelItemCount());
    window->pop_mail->RemotePort = one.port();
    window->popmailHeaders->trigger();
    window->details->topLevelItem(0)->setSelected(true);
    Measure("window: view a 10 MB message", [&] { window->popmailMsgText->trigger(); }, errors);
    window.reset();
    return errors.empty() ? 0 : 1;
}
