#pragma once

#include "platform/ws2tcpip.h"
#include "sock/NetAddress.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Connects a stream socket to the first of a name's addresses that answers
// (RFC 8305, "happy eyeballs"): the addresses are tried in order, the next
// started when the ones under way have not connected within StaggerMs or
// have failed; the first to connect wins and the rest are closed. The caller
// drives it with Step from its own bounded wait, so the wait's time-out and
// Stop hold for the connect as for every other wait.
class Connector final {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int StaggerMs = 250;

    Connector(std::vector<NetAddress> addresses, uint16_t port);
    ~Connector();
    Connector(const Connector&) = delete;
    Connector& operator=(const Connector&) = delete;

    // Starts the attempts that are due and waits at most ms for one under
    // way to finish. Never waits past the moment the next attempt is due.
    void Step(int ms);
    // Connected, or every address failed.
    bool Done() const { return winner_ != INVALID_SOCKET || (next_ >= addresses_.size() && attempts_.empty()); }
    bool Connected() const { return winner_ != INVALID_SOCKET; }
    // The connected socket (non-blocking), now the caller's; INVALID_SOCKET when none.
    SOCKET Take();
    // The address the winner connected to.
    const NetAddress& Peer() const { return peer_; }
    // The Winsock code of the last failure (0 when none failed).
    int Error() const { return error_; }
    // Why each address failed, in words, one after another.
    std::string FailureText() const;
    // Closes every attempt under way (a wait that gave up or was stopped).
    void Abandon();

    // Told about each address as its attempt fails (error) or starts (0).
    std::function<void(const NetAddress& address, int error)> OnAttempt;

private:
    struct Attempt {
        SOCKET socket;
        size_t index;
    };
    void StartNext();
    void Finished(size_t attempt, int error);
    void Failed(const NetAddress& address, int error);

    std::vector<NetAddress> addresses_;
    std::vector<Attempt> attempts_;
    size_t next_ = 0;
    Clock::time_point nextDue_{};
    SOCKET winner_ = INVALID_SOCKET;
    NetAddress peer_;
    int error_ = 0;
    std::vector<std::string> failures_;
};

// A connect failure's words for a user: "connection refused by", "no answer from" ...
std::string ConnectFailureWords(int code);
