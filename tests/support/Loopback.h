#pragma once

// Helpers for tests that talk to peers on 127.0.0.1 and wait for window messages.

#include "platform/MessageWindow.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace testsupport {

// A plain blocking listener on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    int fd = -1;
    uint16_t port = 0; // host order
    Listener();
    ~Listener();
    int AcceptOne(); // blocking accept; returns the connected descriptor
};

// The port (host order) a socket is bound to.
uint16_t LocalPort(int fd);

// A port on 127.0.0.1 held by a bound socket that does not listen, for the
// object's life: a connection to it is refused, and no other socket takes it
// meanwhile, save one bound with SO_REUSEADDR, as the real servers bind theirs.
class ReservedPort {
public:
    ReservedPort();
    ~ReservedPort();
    ReservedPort(const ReservedPort&) = delete;
    ReservedPort& operator=(const ReservedPort&) = delete;
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A port on 127.0.0.1 that refuses connections until the process ends: ctest
// runs each test in a process of its own, so for the whole test.
uint16_t ClosedPort();

// Address of 127.0.0.1:port in the form the socket calls take.
struct LoopbackAddress {
    explicit LoopbackAddress(uint16_t port);
    const sockaddr_in* get() const { return &address; }
    sockaddr_in address{};
};

// Whether something on 127.0.0.1 accepts a connection on port.
bool Accepts(uint16_t port);

// Processes events until pred holds or timeoutMs passes; returns pred().
bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 3000);
// Processes events for ms milliseconds.
void PumpFor(int ms);

// Records every message a MessageWindow receives.
class MessageLog {
public:
    MessageLog();
    MessageWindow& window() { return *window_; }
    const std::vector<Message>& messages() const { return messages_; }
    // Events (low words) of messages numbered msg, in arrival order.
    std::vector<unsigned> Events(unsigned msg) const;
    void Clear() { messages_.clear(); }

private:
    std::unique_ptr<MessageWindow> window_;
    std::vector<Message> messages_;
};

} // namespace testsupport
