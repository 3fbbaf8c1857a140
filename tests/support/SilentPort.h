#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// A port on a loopback address ("::1" or "127.0.0.1") where a connect is never
// answered: a listener whose queue is already full drops every new SYN, as a
// dead route would, without leaving this machine.
class SilentPort {
public:
    // port 0 takes a free one.
    explicit SilentPort(const std::string& address, uint16_t port = 0);
    ~SilentPort();
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    uint16_t port() const { return port_; }
    // Empty when the port is silent, else why not.
    const std::string& Problem() const { return problem_; }

private:
    int listener_ = -1;
    std::vector<int> fillers_;
    uint16_t port_ = 0;
    std::string problem_;
};

// A plain listener on a loopback address of either family; port 0 takes a free one.
class LoopbackListener {
public:
    explicit LoopbackListener(const std::string& address, uint16_t port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    uint16_t port() const { return port_; }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Two on one port number, the second on another address. Another test may
// hold that number there, so fresh numbers are tried a few times.
template <typename First, typename Second>
std::pair<std::unique_ptr<First>, std::unique_ptr<Second>> OnOnePort(const std::string& first,
                                                                     const std::string& second)
{
    for (int tries = 1;; ++tries) {
        auto a = std::make_unique<First>(first);
        auto b = std::make_unique<Second>(second, a->port());
        if (b->port() == a->port() || tries == 20)
            return {std::move(a), std::move(b)};
    }
}

} // namespace testsupport
