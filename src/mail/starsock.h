#pragma once

#include "framework/Component.h"
#include "platform/MessageWindow.h"
#include "platform/ws2tcpip.h"
#include "sock/ByteStream.h"
#include "sock/Connector.h"
#include "sock/NameResolver.h"
#include "sock/NetAddress.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using TStarNotify = std::function<void(TObject* sender)>;

// One TCP stream socket driven by window messages, never blocking the GUI
// thread: look-up finished, connected, readable, writable, closed and a
// one-second countdown each become a hook call. Failures are left in LastError.
// Either family: a name's addresses are tried one after another (Connector),
// and the one that answers is the connection.
class TStarSocket : public TComponent {
public:
    static constexpr unsigned WM_LOOKUP = WM_USER;
    static constexpr unsigned WM_SOCKET = WM_USER + 1;
    static constexpr size_t MaxHostName = 80;
    // A look-up keeps at most this many of a name's addresses.
    static constexpr int MaxAddresses = 16;

    TStarSocket();
    ~TStarSocket() override;
    TStarSocket(const TStarSocket&) = delete;
    TStarSocket& operator=(const TStarSocket&) = delete;

    bool LoadWinsock(const std::string& name);
    void UnloadWinsock();
    bool StartWinsock();
    void StopWinsock();
    bool WinsockStartedNow() const { return started_; }

    void SetServer(const std::string& text);
    const std::string& Server() const { return server_; }
    void OpenSocket();
    // An address as text, IPv4 or IPv6 (brackets allowed).
    void SetAddressText(const std::string& text);
    void SetPort(uint16_t port);
    void UseResolvedAddress();
    // The address connected to, or the first to try.
    std::string GetAddressText() const;
    std::string GetLocalHostName();
    // The address of the connection's own end ("127.0.0.1", "::1"); empty
    // when there is no connection.
    std::string LocalAddressText() const;
    void ResolveAsync(const std::string& name);
    void ConnectAsync();
    int SendData(const char* buffer, int length);
    int ReceiveData(char* buffer, int length);
    void CloseSocket();
    void StartTimeout(int seconds);
    bool Connected() const { return connected_; }
    bool SocketOpen() const { return bool(stream_); }
    SOCKET Handle() const { return stream_ ? stream_->Handle() : INVALID_SOCKET; }
    // Puts a stream made from the connection's own (a layer over it) in its place.
    void WrapStream(const ByteStream::Wrapper& wrap);
    // Waits at most ms for room to send (through the stream, so a layer that
    // must read first is heard): 1 when there is, 0 when not, SOCKET_ERROR.
    int WaitWritable(int ms) const { return stream_ ? stream_->Ready(true, ms) : SOCKET_ERROR; }

    // Called when a look-up finished, successfully or not.
    virtual void Resolved();

    TStarNotify OnResolved, OnConnected, OnClosed, OnTimedOut, OnDataAvailable, OnWritable, OnAcceptable;
    int TimeoutConnect = 0; // seconds; 0 = no limit
    int TimeoutArp = 0;     // seconds; 0 = no limit
    std::string ServerAddress;
    std::string ServerName;
    uint16_t Port = 0;
    uint16_t LastError = 0;
    // Which family of a name's addresses is tried first.
    AddressOrder Order = AddressOrder::System;

protected:
    // Messages numbered above WM_SOCKET go here when set.
    std::function<void(Message&)> MessageHook;
    MessageWindow* Window() const { return window_.get(); }

private:
    void WndProc(Message& m);
    void LookupFinished(const Message& m);
    void SocketNotified(const Message& m);
    void KillTimer();
    // The connect's next step, on its own timer; its outcome is posted as
    // FD_CONNECT would be.
    void ConnectStep();
    void StopConnecting();
    // The bytes a send or receive moved; a would-block is no error, 0 leaves
    // LastError as it was.
    int Moved(int result);
    static void Fire(const TStarNotify& hook, TObject* sender)
    {
        if (hook)
            hook(sender);
    }
    uint16_t ErrorOf(int code) const { return code == WSAEWOULDBLOCK ? 0 : uint16_t(code); }

    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<ByteStream> stream_;
    std::vector<NetAddress> remotes_;
    uint16_t port_ = 0;
    NetAddress peer_;
    std::unique_ptr<Connector> connector_;
    std::vector<SOCKADDR_INET> found_;
    bool connected_ = false;
    bool loaded_ = false;
    bool started_ = false;
    std::vector<NetAddress> resolved_;
    HANDLE_TASK lookup_ = 0;
    int countdown_ = 0;
    unsigned timerId_ = 0;
    std::string hostName_;
    std::string server_;
};
