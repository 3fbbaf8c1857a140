#include "sock/TlsStream.h"

#include "sock/ECertificateError.h"
#include "sock/SocketErrorText.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

// Owns one SSL_SESSION; shared so a control connection and its data
// connections can hold the same one.
class TlsSession {
public:
    explicit TlsSession(SSL_SESSION* s) : session(s) {}
    ~TlsSession() { SSL_SESSION_free(session); }
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    SSL_SESSION* const session;
};

namespace {

struct CtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

std::string Fingerprint(X509* certificate)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || !X509_digest(certificate, EVP_sha256(), md, &length))
        return {};
    std::string text;
    char pair[4];
    for (unsigned int i = 0; i < length; ++i) {
        if (i)
            text += ':';
        std::snprintf(pair, sizeof pair, "%02X", md[i]);
        text += pair;
    }
    return text;
}

ECertificateError::Check CheckOf(long code)
{
    switch (code) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CRL_HAS_EXPIRED:
        return ECertificateError::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CRL_NOT_YET_VALID:
        return ECertificateError::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return ECertificateError::WrongName;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        return ECertificateError::SelfSigned;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        return ECertificateError::UnknownIssuer;
    default:
        return ECertificateError::Other;
    }
}

std::string CheckWords(ECertificateError::Check check, const std::string& host, long code)
{
    switch (check) {
    case ECertificateError::Expired:
        return "The certificate of " + host + " has expired";
    case ECertificateError::NotYetValid:
        return "The certificate of " + host + " is not valid yet (check this computer's clock)";
    case ECertificateError::WrongName:
        return "The certificate the server at " + host + " showed is made out for another name, not " + host;
    case ECertificateError::SelfSigned:
        return "The certificate of " + host + " is self-signed: no authority this computer trusts vouches for it";
    case ECertificateError::UnknownIssuer:
        return "The certificate of " + host + " was issued by an authority this computer does not trust";
    case ECertificateError::Other:
        break;
    }
    return "The certificate of " + host + " failed verification (" + X509_verify_cert_error_string(code) + ")";
}

} // namespace

struct TlsStream::State {
    std::unique_ptr<ByteStream> plain;
    std::string host;
    std::vector<std::string> trusted;
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;
    bool done = false;
    bool closed = false;
    // Which way the socket must go before the handshake, a read or a write can go on.
    bool handshakeWantsWrite = false;
    bool readWantsWrite = false;
    bool writeWantsRead = false;
    int error = 0;
    // What the inner stream said last: it ended, or broke.
    bool plainEnded = false;
    bool plainBroken = false;
    // The first verification failure, kept to raise once the handshake stops.
    long verifyError = X509_V_OK;
    std::string fingerprint;
    std::shared_ptr<TlsSession> latest;

    static int DataIndex();
    static BIO_METHOD* Method();
    static int BioRead(BIO* bio, char* into, int size);
    static int BioWrite(BIO* bio, const char* from, int size);
    static long BioCtrl(BIO* bio, int cmd, long num, void* ptr);
    static int Verify(int ok, X509_STORE_CTX* store);
    static int NewSession(SSL* ssl, SSL_SESSION* session);
    static State* Of(SSL* ssl) { return static_cast<State*>(SSL_get_ex_data(ssl, DataIndex())); }

    [[noreturn]] void Fail(int sslError);
    uint16_t PeerPort() const;
};

int TlsStream::State::DataIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The bytes go through the inner stream's Read and Write (not the socket
// directly), so whatever that stream does on each call still happens.
BIO_METHOD* TlsStream::State::Method()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "VexmorPing byte stream");
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_ctrl(m, BioCtrl);
        return m;
    }();
    return method;
}

int TlsStream::State::BioRead(BIO* bio, char* into, int size)
{
    auto* state = static_cast<State*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int n = state->plain->Read(into, size);
    if (n > 0)
        return n;
    if (n == WouldBlock) {
        BIO_set_retry_read(bio);
        return -1;
    }
    if (n == 0) {
        state->plainEnded = true;
        return 0;
    }
    state->plainBroken = true;
    state->error = state->plain->Error();
    return -1;
}

int TlsStream::State::BioWrite(BIO* bio, const char* from, int size)
{
    auto* state = static_cast<State*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const int n = state->plain->Write(from, size);
    if (n >= 0)
        return n;
    if (n == WouldBlock) {
        BIO_set_retry_write(bio);
        return -1;
    }
    state->plainBroken = true;
    state->error = state->plain->Error();
    return -1;
}

long TlsStream::State::BioCtrl(BIO*, int cmd, long, void*)
{
    // Nothing is buffered here: a flush is done at once.
    return cmd == BIO_CTRL_FLUSH ? 1 : 0;
}

// A certificate that fails a check is refused unless the user trusts exactly
// this one (its fingerprint) for this server; the first failure is kept for
// the message.
int TlsStream::State::Verify(int ok, X509_STORE_CTX* store)
{
    if (ok)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    State* state = Of(ssl);
    const std::string print = Fingerprint(X509_STORE_CTX_get0_cert(store));
    if (!print.empty() && std::find(state->trusted.begin(), state->trusted.end(), print) != state->trusted.end())
        return 1;
    if (state->verifyError == X509_V_OK) {
        state->verifyError = X509_STORE_CTX_get_error(store);
        state->fingerprint = print;
    }
    return 0;
}

// With TLS 1.3 the session ticket comes after the handshake (and a server may
// send several): the newest is the one to offer next time.
int TlsStream::State::NewSession(SSL* ssl, SSL_SESSION* session)
{
    if (State* state = Of(ssl))
        state->latest = std::make_shared<TlsSession>(session);
    return 1; // the reference is ours now
}

uint16_t TlsStream::State::PeerPort() const
{
    sockaddr_in peer{};
    int length = sizeof peer;
    if (winsock::getpeername(plain->Handle(), &peer, &length) != 0)
        return 0;
    return ntohs(peer.sin_port);
}

void TlsStream::State::Fail(int sslError)
{
    if (verifyError != X509_V_OK) {
        const ECertificateError::Check check = CheckOf(verifyError);
        throw ECertificateError(CheckWords(check, host, verifyError) + ". Its SHA-256 fingerprint is " + fingerprint +
                                    ". If you know this is your server's certificate, choose to trust it; otherwise "
                                    "do not send a password to it.",
                                check, host, fingerprint);
    }
    const unsigned long code = ERR_peek_last_error();
    const int reason = ERR_GET_REASON(code);
    const char* said = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    const uint16_t port = PeerPort();
    const std::string where = "at " + host + (port ? " (port " + std::to_string(port) + ")" : std::string());
    if (plainBroken)
        throw ESockException("The connection to the server " + where + " broke during the TLS handshake (" +
                             SocketErrorText(error) + "): try again, and check the server and the network.");
    if (plainEnded || sslError == SSL_ERROR_ZERO_RETURN || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING ||
        (sslError == SSL_ERROR_SYSCALL && code == 0))
        throw ESockException("The server " + where +
                             " ended the connection during the TLS handshake: check that this port speaks TLS from "
                             "the first byte (implicit TLS), or choose STARTTLS or plain in the configuration.");
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
        reason == SSL_R_HTTPS_PROXY_REQUEST ||
        reason == SSL_R_HTTP_REQUEST)
        throw ESockException("The server " + where +
                             " did not answer in TLS: it probably speaks the plain protocol on this port. Choose "
                             "STARTTLS or plain in the configuration, or the port of its TLS service.");
    throw ESockException("The TLS handshake with the server " + where + " failed (" + (said ? said : "no reason given") +
                         "): the server may not offer TLS 1.2 or later; check its TLS set-up or choose another "
                         "TLS mode in the configuration.");
}

// A context of its own for every connection: the trust store is read when the
// connection starts, so a changed SSL_CERT_FILE (or a newly installed
// authority) counts without restarting, at the price of a few file reads per
// connection, which a handshake dwarfs anyway.
TlsStream::TlsStream(std::unique_ptr<ByteStream> plain, const std::string& host, std::vector<std::string> trusted,
                     std::shared_ptr<TlsSession> resume)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    // Without a name nothing would tie the certificate to the server.
    if (host.empty())
        throw ESockException("TLS needs the server's name or address: enter it in the host field.");
    s.plain = std::move(plain);
    s.host = host;
    s.trusted = std::move(trusted);
    s.ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!s.ctx)
        throw ESockException("TLS could not be set up (out of memory?): close other programs and try again.");
    SSL_CTX_set_min_proto_version(s.ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(s.ctx.get());
    SSL_CTX_set_session_cache_mode(s.ctx.get(), SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(s.ctx.get(), State::NewSession);
    SSL_CTX_set_mode(s.ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    s.ssl.reset(SSL_new(s.ctx.get()));
    if (!s.ssl)
        throw ESockException("TLS could not be set up (out of memory?): close other programs and try again.");
    SSL* ssl = s.ssl.get();
    SSL_set_ex_data(ssl, State::DataIndex(), &s);
    SSL_set_verify(ssl, SSL_VERIFY_PEER, State::Verify);

    // An address literal is checked against the certificate's IP names; a
    // name against its DNS names, and is sent as SNI.
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (!X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())) {
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, name.c_str());
        SSL_set_tlsext_host_name(ssl, name.c_str());
    }
    if (resume)
        SSL_set_session(ssl, resume->session);

    BIO* bio = BIO_new(State::Method());
    if (!bio)
        throw ESockException("TLS could not be set up (out of memory?): close other programs and try again.");
    BIO_set_data(bio, &s);
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_connect_state(ssl);
}

TlsStream::~TlsStream()
{
    Close();
}

bool TlsStream::Handshake()
{
    State& s = *state_;
    if (s.done)
        return true;
    if (s.closed)
        throw ESockException("The TLS connection to " + s.host + " is closed: connect again.");
    ERR_clear_error();
    const int r = SSL_connect(s.ssl.get());
    if (r == 1) {
        s.done = true;
        return true;
    }
    const int e = SSL_get_error(s.ssl.get(), r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        s.handshakeWantsWrite = e == SSL_ERROR_WANT_WRITE;
        return false;
    }
    s.Fail(e);
}

bool TlsStream::HandshakeDone() const
{
    return state_->done;
}

std::shared_ptr<TlsSession> TlsStream::Session() const
{
    if (state_->latest || !state_->done)
        return state_->latest;
    SSL_SESSION* session = SSL_get1_session(state_->ssl.get());
    return session ? std::make_shared<TlsSession>(session) : nullptr;
}

bool TlsStream::SessionReused() const
{
    return state_->done && SSL_session_reused(state_->ssl.get()) == 1;
}

std::string TlsStream::Description() const
{
    if (!state_->done)
        return {};
    const SSL_CIPHER* cipher = SSL_get_current_cipher(state_->ssl.get());
    return std::string(SSL_get_version(state_->ssl.get())) + ", " + (cipher ? SSL_CIPHER_get_name(cipher) : "?");
}

// What Read and Write do before OpenSSL moves any bytes: a closed stream is
// Broken, the handshake comes first, and nothing to move is done at once.
// Returns what the caller must give back at once, nothing when it may go on.
std::optional<int> TlsStream::Opening(int size)
{
    State& s = *state_;
    if (s.closed) {
        s.error = WSAENOTSOCK;
        return Broken;
    }
    if (!s.done && !Handshake())
        return WouldBlock;
    if (size <= 0)
        return 0;
    ERR_clear_error();
    return std::nullopt;
}

int TlsStream::Read(char* into, int size)
{
    if (const std::optional<int> early = Opening(size))
        return *early;
    State& s = *state_;
    const int n = SSL_read(s.ssl.get(), into, size);
    if (n > 0) {
        s.readWantsWrite = false;
        return n;
    }
    const int e = SSL_get_error(s.ssl.get(), n);
    switch (e) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        s.readWantsWrite = e == SSL_ERROR_WANT_WRITE;
        return WouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    default:
        break;
    }
    // Many servers end a connection without close_notify; the protocols above
    // mark their own ends, so a plain end reads as an end.
    if (s.plainEnded && !s.plainBroken)
        return 0;
    if (!s.plainBroken)
        s.error = WSAECONNABORTED;
    return Broken;
}

// After WouldBlock the same bytes must be offered again (OpenSSL may hold a
// record made of them); every caller retries what is left to send.
int TlsStream::Write(const char* from, int size)
{
    if (const std::optional<int> early = Opening(size))
        return *early;
    State& s = *state_;
    const int n = SSL_write(s.ssl.get(), from, size);
    if (n > 0) {
        s.writeWantsRead = false;
        return n;
    }
    const int e = SSL_get_error(s.ssl.get(), n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        s.writeWantsRead = e == SSL_ERROR_WANT_READ;
        return WouldBlock;
    }
    if (!s.plainBroken)
        s.error = s.plainEnded ? WSAECONNRESET : WSAECONNABORTED;
    return Broken;
}

// Only bytes already decrypted count: a record read in part has its rest in
// the socket, which shows it as readable.
bool TlsStream::Pending() const
{
    const State& s = *state_;
    if (s.closed)
        return false;
    return (s.done && SSL_pending(s.ssl.get()) > 0) || s.plain->Pending();
}

bool TlsStream::NeedsWritable(bool forWrite) const
{
    const State& s = *state_;
    if (!s.done)
        return s.handshakeWantsWrite;
    return forWrite ? !s.writeWantsRead : s.readWantsWrite;
}

int TlsStream::Error() const
{
    return state_->error;
}

SOCKET TlsStream::Handle() const
{
    return state_->plain ? state_->plain->Handle() : INVALID_SOCKET;
}

void TlsStream::Close()
{
    State& s = *state_;
    if (s.closed)
        return;
    s.closed = true;
    if (s.done && !s.plainBroken) {
        ERR_clear_error();
        SSL_shutdown(s.ssl.get()); // close_notify as far as the socket takes it now
    }
    ERR_clear_error();
    if (s.plain)
        s.plain->Close();
}
