#pragma once

// A scripted server for protocol tests, on 127.0.0.1 and a kernel-chosen port
// unless given others: it accepts connections one after another and plays the
// same script on each, recording what it receives. Safe to query from the
// test's thread while it runs.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ScriptServer {
public:
    struct Step {
        enum Kind { Send, Trickle, Expect, ExpectUntil, ExpectAll, Close, Reset, Hold, Pause, Tls, Receive } kind;
        std::string text; // Tls: the certificate's and the key's PEM files, a line each
    };
    static Step Send(std::string bytes) { return {Step::Send, std::move(bytes)}; }
    // Sends one byte at a time, with a pause between, so each arrives alone.
    static Step Trickle(std::string bytes) { return {Step::Trickle, std::move(bytes)}; }
    // Waits for one line (CR LF or LF ended) and records it.
    static Step Expect() { return {Step::Expect, {}}; }
    // Records lines until one equals line (recorded too).
    static Step ExpectUntil(std::string line) { return {Step::ExpectUntil, std::move(line)}; }
    // Records every line until the client closes.
    static Step ExpectAll() { return {Step::ExpectAll, {}}; }
    static Step Close() { return {Step::Close, {}}; }
    // Closes with a reset (zero linger).
    static Step Reset() { return {Step::Reset, {}}; }
    // Stays silent until the client goes or the server is destroyed.
    static Step Hold() { return {Step::Hold, {}}; }
    // Waits until the test calls Resume() (or the server is destroyed).
    static Step Pause() { return {Step::Pause, {}}; }
    // Turns the connection into TLS, the server's side, with this certificate
    // and key (PEM files); the steps after it speak over TLS. One context
    // serves every connection, so a later one can resume a session. A
    // handshake that fails ends the connection.
    static Step Tls(std::string certificatePem, std::string keyPem)
    {
        return {Step::Tls, certificatePem + "\n" + keyPem};
    }
    // Waits for bytes of any kind (a TLS ClientHello, say) and records them.
    static Step Receive() { return {Step::Receive, {}}; }

    // address: an IPv4 or IPv6 literal ("::1").
    explicit ScriptServer(std::vector<Step> script, const char* address = "127.0.0.1", uint16_t port = 0);
    ~ScriptServer();
    ScriptServer(const ScriptServer&) = delete;
    ScriptServer& operator=(const ScriptServer&) = delete;

    // False when the address and port could not be bound.
    bool Listening() const { return thread_.joinable(); }
    uint16_t port() const { return port_; }
    // The lines received, without their line ends.
    std::vector<std::string> Received() const;
    // Every byte the expecting steps read, line ends included.
    std::string ReceivedBytes() const;
    void Resume() { resumed_ = true; }
    int Connections() const { return connections_; }
    // How many TLS connections the client ended with close_notify, and how
    // many handshakes resumed a session.
    int CloseNotifies() const { return closeNotifies_; }
    int ResumedSessions() const { return resumed_sessions_; }

private:
    void Serve();
    struct Peer;
    struct TlsContext;
    void Play(int fd);
    bool StartTls(Peer& peer, const Step& step);
    bool SendAll(Peer& peer, const char* data, size_t size);
    bool ReadLine(Peer& peer, std::string& line);

    std::vector<Step> script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> resumed_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> closeNotifies_{0};
    std::atomic<int> resumed_sessions_{0};
    std::unique_ptr<TlsContext> tls_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::string receivedBytes_;
    std::thread thread_;
};

// A POP3 server that logs in and lists n messages ("Sender k", "Note k") for
// their summaries, then plays tail; slow sends each reply a byte at a time.
std::vector<ScriptServer::Step> Pop3Mailbox(int n, std::vector<ScriptServer::Step> tail, bool slow = false);

} // namespace testsupport
