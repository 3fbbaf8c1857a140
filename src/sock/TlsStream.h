#pragma once

#include "sock/ByteStream.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// A TLS session a later connection to the same server may resume (FTP data
// connections must resume the control connection's).
class TlsSession;

// The client side of TLS (OpenSSL 3) as a layer over a live byte stream,
// never blocking: the handshake and every read and write move as far as the
// socket allows, and NeedsWritable/Pending tell the caller's wait what to
// wait for. The server's certificate is verified against the system's trust
// store (OpenSSL's SSL_CERT_FILE/SSL_CERT_DIR honoured) and the host name;
// one that fails is accepted only when its fingerprint is among trusted.
class TlsStream final : public ByteStream {
public:
    // host: the server's name or address literal as the user gave it, checked
    // against the certificate. resume: a session to offer the server.
    TlsStream(std::unique_ptr<ByteStream> plain, const std::string& host, std::vector<std::string> trusted,
              std::shared_ptr<TlsSession> resume = nullptr);
    ~TlsStream() override;

    // Moves the handshake on: true once it is complete, false when it must
    // wait for the socket (Ready(NeedsWritable(false)) says when to call it
    // again). Raises ECertificateError when the certificate is not trusted,
    // ESockException in words for any other failure (the server closed or
    // spoke no TLS).
    bool Handshake();
    bool HandshakeDone() const;
    // The session to offer a later connection to the same server.
    std::shared_ptr<TlsSession> Session() const;
    // Whether the server resumed the session offered.
    bool SessionReused() const;
    // The protocol and cipher agreed, for the trace ("TLSv1.3, TLS_AES_256_GCM_SHA384").
    std::string Description() const;

    int Read(char* into, int size) override;
    int Write(const char* from, int size) override;
    bool Pending() const override;
    bool NeedsWritable(bool forWrite) const override;
    int Error() const override;
    SOCKET Handle() const override;
    // Sends close_notify (as far as the socket takes it at once), then closes.
    void Close() override;

private:
    struct State;
    std::unique_ptr<State> state_;

    std::optional<int> Opening(int size);
};
