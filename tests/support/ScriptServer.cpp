#include "support/ScriptServer.h"
#include "support/Loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace testsupport {

ScriptServer::ScriptServer(std::vector<Step> script, const char* address, uint16_t port)
    : script_(std::move(script)), listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    // A chosen port may still have connections of an earlier test in TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ::inet_addr(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 8) != 0)
        return;
    port_ = LocalPort(listener_);
    thread_ = std::thread([this] { Serve(); });
}

ScriptServer::~ScriptServer()
{
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    ::close(listener_);
}

std::vector<std::string> ScriptServer::Received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::string ScriptServer::ReceivedBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return receivedBytes_;
}

void ScriptServer::Serve()
{
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++connections_;
        Play(fd);
    }
}

bool ScriptServer::ReadLine(int fd, std::string& line)
{
    line.clear();
    char c;
    while (!stop_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        if (::read(fd, &c, 1) != 1)
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            receivedBytes_ += c;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
        line += c;
    }
    return false;
}

void ScriptServer::Play(int fd)
{
    bool open = true;
    for (const Step& step : script_) {
        if (!open)
            break;
        switch (step.kind) {
        case Step::Send:
            for (size_t sent = 0; sent < step.text.size();) {
                const ssize_t n = ::send(fd, step.text.data() + sent, step.text.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    open = false;
                    break;
                }
                sent += size_t(n);
            }
            break;
        case Step::Trickle:
            for (const char c : step.text) {
                if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
                    open = false;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            break;
        case Step::Expect:
        case Step::ExpectUntil:
        case Step::ExpectAll: {
            std::string line;
            while ((open = ReadLine(fd, line))) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back(line);
                }
                if (step.kind == Step::Expect || (step.kind == Step::ExpectUntil && line == step.text))
                    break;
            }
            if (step.kind == Step::ExpectAll)
                open = false;
            break;
        }
        case Step::Reset: {
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            open = false;
            break;
        }
        case Step::Close:
            open = false;
            break;
        case Step::Hold: {
            char c;
            while (!stop_) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0 && ::recv(fd, &c, 1, 0) <= 0)
                    break;
            }
            open = false;
            break;
        }
        case Step::Pause:
            while (!resumed_ && !stop_)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            break;
        }
    }
    ::close(fd);
}

std::vector<ScriptServer::Step> Pop3Mailbox(int n, std::vector<ScriptServer::Step> tail, bool slow)
{
    using S = ScriptServer;
    const auto say = [slow](std::string text) { return slow ? S::Trickle(std::move(text)) : S::Send(std::move(text)); };
    std::string list = "+OK\r\n";
    for (int k = 1; k <= n; ++k)
        list += std::to_string(k) + " 10\r\n";
    std::vector<S::Step> steps = {say("+OK ready\r\n"), S::Expect(), say("+OK\r\n"), S::Expect(),
                                  say("+OK\r\n"),        S::Expect(), say(list + ".\r\n")};
    for (int k = n; k >= 1; --k) { // the summaries are asked for last to first
        steps.push_back(S::Expect());
        steps.push_back(say("+OK\r\nFrom: Sender " + std::to_string(k) + "\r\nSubject: Note " + std::to_string(k) +
                            "\r\n\r\n.\r\n"));
    }
    steps.insert(steps.end(), tail.begin(), tail.end());
    return steps;
}

} // namespace testsupport
