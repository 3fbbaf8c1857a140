#pragma once

#include "framework/Wait.h"
#include "platform/MessageWindow.h"
#include "platform/winsock.h"
#include "sock/ByteStream.h"
#include "sock/ESockException.h"
#include "sock/NameResolver.h"
#include "sock/NetAddress.h"
#include "sock/TlsOptions.h"
#include "framework/LineReader.h"
#include "tcpip/T_NetComponent.h"
#include "tcpip/TcpIpErrors.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TlsSession;

enum TTraceLevel { tlCommand, tlReply, tlSocket };
using TTraceProc = std::function<void(const std::string& s, TTraceLevel level)>;

// The TCP machinery the protocol clients share: one control connection, command
// lines out, reply lines in, a trace of every step. Every wait for the server is
// bounded by ReplyTimeoutMs and, on the GUI thread, keeps the window painting;
// Cancel ends a wait from outside. Every connection, control or data, is a
// ByteStream made by Adopt, so a layer under them all goes in one place.
class T_TcpIp : public T_NetComponent {
public:
    static constexpr unsigned WM_CONTROL_SOCKET = WM_USER + 256;
    static constexpr unsigned WM_DATA_SOCKET = WM_USER + 257;
    static constexpr int BufferSize = 0x7F00;

    T_TcpIp();
    ~T_TcpIp() override;
    T_TcpIp(const T_TcpIp&) = delete;
    T_TcpIp& operator=(const T_TcpIp&) = delete;

    virtual void WndProc(Message& m);
    virtual void DoAction();
    void SendCommand(const std::string& line);
    // Connects, after dropping a connection the server closed meanwhile
    // (many do after a refused password) rather than failing every later Login.
    virtual void Login();
    virtual void Logout();
    // Whether the control connection has nothing more to give.
    bool Eof();
    bool Connected() const { return bool(control_); }

    // Ends the wait under way (from a handler the wait lets through, or from
    // another thread); the exchange ends with an error saying it was stopped.
    void Cancel();

    std::string Hostname;
    TTraceProc OnTrace;
    uint16_t RemotePort = 0;
    uint32_t IPAddress = 0xFFFFFFFFu;
    // The control connection's peer, of either family (IPAddress is its
    // IPv4 value, all ones for IPv6).
    NetAddress PeerAddress;
    // Which family of a name's addresses Login tries first.
    AddressOrder Order = AddressOrder::System;
    bool EndOfData = false;
    // The data ended with a reset, not a close.
    bool Reset = false;
    bool DataReady = false;
    std::string ReceiveStream;
    std::vector<char> Buffer;
    bool WaitForData = false;
    bool LoggedIn = false;
    // How long one wait for the server (connect, a reply, more data) may last.
    uint32_t ReplyTimeoutMs = ::ReplyTimeoutMs;
    // How the connections are protected: plain, upgraded by the protocol's
    // own command, or TLS from the first byte (negotiated by Login).
    TlsOptions Tls;

protected:
    void Trace(TTraceLevel level, const std::string& text)
    {
        if (OnTrace)
            OnTrace(text, level);
    }
    bool Tracing() const { return bool(OnTrace); }
    // The login of the protocols with a user name and password (FTP, POP3):
    // Login, the greeting, the protocol's own upgrade when TLS starts by
    // command (before the user name, so no password goes in plain), then USER
    // and PASS. readReply reads one reply, raising on a refusal. The trace
    // shows mask in the password's place: traces are shown and saved, a
    // password never is.
    void LoginWithPassword(const std::string& user, const std::string& password, const std::string& mask,
                           const std::function<void()>& readReply, const std::function<void()>& upgradeToTls);

    // The calls below take a connection's slot, not its stream: a handler a
    // wait lets through may close the connection, and a closed one reads and
    // writes as a socket closed under it would.
    // Without wait, a stream with nothing to hand out yet gives count
    // ByteStream::WouldBlock instead of waiting.
    void ReceiveBuffer(std::unique_ptr<ByteStream>& s, char* buffer, int& count, int size, bool wait = true);
    // One reply line of the control connection, CR LF or LF ended; false (line
    // unchanged) when the connection ended first. A line past the reader's cap
    // is no reply: the connection is dropped with an error.
    bool ReadLine(std::string& line);
    void SendBuffer(std::unique_ptr<ByteStream>& s, const char* buffer, int& length);
    void SendString(std::unique_ptr<ByteStream>& s, const std::string& text);

    // A new non-blocking socket of family, or INVALID_SOCKET.
    SOCKET CreateSocket(int family = AF_INET);
    // Connects a socket from CreateSocket (of the address's family) and
    // makes it a stream; nullptr (the socket closed, the Winsock error set)
    // when the connect failed.
    std::unique_ptr<ByteStream> ConnectStream(SOCKET s, const NetAddress& to);
    std::unique_ptr<ByteStream> ConnectStream(SOCKET s, uint16_t port, uint32_t address)
    {
        return ConnectStream(s, NetAddress::FromIPv4(address, port));
    }
    // Connects to the first of addresses that answers on port, trying them
    // one after another (see Connector) within the one wait; nullptr, with
    // the Winsock error set and why holding each address's failure, when
    // none did. peer is the address reached.
    std::unique_ptr<ByteStream> ConnectAny(const std::vector<NetAddress>& addresses, uint16_t port, NetAddress& peer,
                                           std::string& why);
    // The one place a connected socket becomes a connection's stream.
    std::unique_ptr<ByteStream> Adopt(SOCKET connected);
    void CloseStream(std::unique_ptr<ByteStream>& s);
    std::unique_ptr<ByteStream>& Control() { return control_; }
    // Puts a stream made from the control connection's own (a layer over it)
    // in its place. What was read but not yet handed out is dropped: no byte
    // read before the change may pass for one read after it.
    void WrapControl(const ByteStream::Wrapper& wrap);
    // Puts TLS over the control connection for Hostname and completes the
    // handshake; what arrived before it is dropped. A certificate not trusted
    // raises ECertificateError (its fingerprint for the window to offer),
    // any other failure ETcpIpError; either way the connection is dropped.
    void StartTls();
    // The same for another connection (an FTP data connection), offering
    // resume, a session of the control connection's.
    void StartTls(std::unique_ptr<ByteStream>& s, std::shared_ptr<TlsSession> resume, const std::string& what);
    // The control connection's TLS session (none when it is plain).
    std::shared_ptr<TlsSession> ControlSession() const;
    // A listening socket for the server to connect to; port 0 takes a free one.
    void BindAndListen(SOCKET& s, uint16_t& port, const NetAddress& local);
    void BindAndListen(SOCKET& s, uint16_t& port, uint32_t localAddress)
    {
        BindAndListen(s, port, NetAddress::FromIPv4(localAddress));
    }
    SOCKET AcceptConnection(SOCKET listening, NetAddress& peer);
    void CloseSocket(SOCKET& s);

    // A wait gave up: the connection is of no further use, and the next Login
    // starts afresh.
    virtual void ConnectionLost();
    // Waits until s can be read (or written); raises when the time is up or
    // the wait was cancelled, after dropping the connection.
    void WaitUntilReady(std::unique_ptr<ByteStream>& s, bool forWrite, const std::string& what);
    // The same for a socket not (yet) a stream: a connect under way, a listener.
    void WaitUntilReady(SOCKET s, bool forWrite, const std::string& what);
    // The one wait of every exchange: until condition holds, bounded by
    // ReplyTimeoutMs (counted from the last progress) and ended by Cancel;
    // block sleeps a slice (see Wait).
    Wait::Outcome WaitFor(const std::function<bool()>& condition, const std::function<void(int)>& block = {});
    // Data is flowing: lets the window's events through when they are due,
    // and raises (after dropping the connection) when Stop was pressed meanwhile.
    void KeepResponsive(const std::string& what);
    // Data moved on a connection the caller is not waiting on (a transfer fed
    // by notifications): the wait under way starts its time-out again.
    void NoteProgress() { progressAt_ = std::chrono::steady_clock::now().time_since_epoch().count(); }

    // A connection whose notifications a wait on the GUI thread must not
    // sleep through: when it has data, the wait pumps events at once.
    std::unique_ptr<ByteStream>* WatchAlso = nullptr;

    // One public exchange at a time: a call that arrives while this component
    // waits (through the events its wait lets through) is refused.
    class Exchange {
    public:
        explicit Exchange(T_TcpIp& owner);
        ~Exchange();
        Exchange(const Exchange&) = delete;
        Exchange& operator=(const Exchange&) = delete;

    private:
        T_TcpIp& owner_;
    };

    std::unique_ptr<MessageWindow> Window;

private:
    [[noreturn]] void GiveUp(bool stopped, const std::string& what);
    // A stream's own failure, in its words, after dropping the connection.
    [[noreturn]] void StreamFailed(const ESockException& e);
    // Moves the handshake of s (a TlsStream) on until it is complete.
    void Handshake(std::unique_ptr<ByteStream>& s, const std::string& what);
    using Readiness = std::function<int(const ByteStream* also, int ms)>;
    void AwaitReady(const Readiness& ready, const std::string& what);

    std::unique_ptr<ByteStream> control_;
    LineReader lines_;
    std::atomic<bool> waiting_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<std::chrono::steady_clock::rep> progressAt_{0};
    int exchanges_ = 0;
};
