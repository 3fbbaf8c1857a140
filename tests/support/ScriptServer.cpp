#include "support/ScriptServer.h"
#include "support/Loopback.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace testsupport {

struct ScriptServer::TlsContext {
    ~TlsContext() { SSL_CTX_free(ctx); }
    SSL_CTX* ctx = nullptr;
};

// One accepted connection: the socket, and TLS over it once a Tls step ran.
struct ScriptServer::Peer {
    explicit Peer(int f) : fd(f) {}
    ~Peer() { SSL_free(ssl); }
    int fd;
    SSL* ssl = nullptr;
    bool reset = false;
};

ScriptServer::ScriptServer(std::vector<Step> script, const char* address, uint16_t port)
    : script_(std::move(script)),
      listener_(::socket(std::strchr(address, ':') ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    // A chosen port may still have connections of an earlier test in TIME_WAIT.
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage raw{};
    socklen_t length = sizeof(sockaddr_in);
    if (std::strchr(address, ':')) {
        // An IPv6 address ("::1"), on IPv6 only, so the port says nothing about IPv4.
        ::setsockopt(listener_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        auto* a = reinterpret_cast<sockaddr_in6*>(&raw);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        ::inet_pton(AF_INET6, address, &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&raw);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr.s_addr = ::inet_addr(address);
    }
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&raw), length) != 0 || ::listen(listener_, 8) != 0)
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
    // A write to a client that went away is an error here, not a signal
    // (OpenSSL writes without MSG_NOSIGNAL).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
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

namespace {

bool Readable(int fd, SSL* ssl, int ms)
{
    if (ssl && SSL_pending(ssl) > 0)
        return true;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// Reads what is there (at most size bytes): a count, 0 when the client ended
// the connection, -1 when it broke.
int ReadSome(int fd, SSL* ssl, char* into, int size, std::atomic<int>& closeNotifies)
{
    if (!ssl)
        return int(::read(fd, into, size_t(size)));
    const int n = SSL_read(ssl, into, size);
    if (n <= 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN) {
        ++closeNotifies;
        return 0;
    }
    return n;
}

} // namespace

bool ScriptServer::ReadLine(Peer& peer, std::string& line)
{
    line.clear();
    char c;
    while (!stop_) {
        if (!Readable(peer.fd, peer.ssl, 20))
            continue;
        if (ReadSome(peer.fd, peer.ssl, &c, 1, closeNotifies_) != 1)
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

bool ScriptServer::SendAll(Peer& peer, const char* data, size_t size)
{
    for (size_t sent = 0; sent < size;) {
        const ssize_t n = peer.ssl ? SSL_write(peer.ssl, data + sent, int(size - sent))
                                   : ::send(peer.fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

// The server's side of a handshake, blocking but bounded: a client that
// stops half-way ends the connection after a while.
bool ScriptServer::StartTls(Peer& peer, const Step& step)
{
    if (!tls_) {
        tls_ = std::make_unique<TlsContext>();
        tls_->ctx = SSL_CTX_new(TLS_server_method());
        static const unsigned char context[] = "vexmor-script-server";
        SSL_CTX_set_session_id_context(tls_->ctx, context, sizeof context - 1);
        const size_t split = step.text.find('\n');
        const std::string certificate = step.text.substr(0, split), key = step.text.substr(split + 1);
        if (SSL_CTX_use_certificate_chain_file(tls_->ctx, certificate.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(tls_->ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
            return false;
    }
    const timeval bound{10, 0};
    ::setsockopt(peer.fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(peer.fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    peer.ssl = SSL_new(tls_->ctx);
    SSL_set_fd(peer.ssl, peer.fd);
    ERR_clear_error();
    if (SSL_accept(peer.ssl) != 1) {
        ERR_clear_error();
        return false;
    }
    if (SSL_session_reused(peer.ssl))
        ++resumed_sessions_;
    return true;
}

void ScriptServer::Play(int fd)
{
    Peer peer(fd);
    bool open = true;
    for (const Step& step : script_) {
        if (!open)
            break;
        switch (step.kind) {
        case Step::Send:
            open = SendAll(peer, step.text.data(), step.text.size());
            break;
        case Step::Trickle:
            for (const char c : step.text) {
                if (!(open = SendAll(peer, &c, 1)))
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            break;
        case Step::Expect:
        case Step::ExpectUntil:
        case Step::ExpectAll: {
            std::string line;
            while ((open = ReadLine(peer, line))) {
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
            peer.reset = true;
            open = false;
            break;
        }
        case Step::Close:
            open = false;
            break;
        case Step::Hold: {
            char c;
            while (!stop_) {
                if (Readable(fd, peer.ssl, 20) && ReadSome(fd, peer.ssl, &c, 1, closeNotifies_) <= 0)
                    break;
            }
            open = false;
            break;
        }
        case Step::Pause:
            while (!resumed_ && !stop_)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            break;
        case Step::Tls:
            open = StartTls(peer, step);
            break;
        case Step::Receive: {
            while (!stop_ && !Readable(fd, peer.ssl, 20)) {
            }
            char bytes[4096];
            const int n = stop_ ? -1 : ReadSome(fd, peer.ssl, bytes, sizeof bytes, closeNotifies_);
            if ((open = n > 0)) {
                std::lock_guard<std::mutex> lock(mutex_);
                receivedBytes_.append(bytes, size_t(n));
            }
            break;
        }
        }
    }
    // A TLS connection ends with close_notify, unless it is to end by a reset.
    if (peer.ssl && !peer.reset && SSL_is_init_finished(peer.ssl))
        SSL_shutdown(peer.ssl);
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
