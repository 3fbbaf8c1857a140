#pragma once

#include "framework/Component.h"
#include "platform/MessageWindow.h"
#include "platform/winsock.h"
#include "sock/Connector.h"
#include "sock/NameResolver.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

enum TSocketType { stStream, stDatagram };
enum TLineBreak { lbCRLF, lbCR, lbLF, lbSmart };
enum TSocketInfo { siLookup, siConnect, siClose, siListen, siReceive, siSend, siAccept, siError };

class TSock;

using TNotifyEvent = std::function<void(TObject* sender)>;
using TNotifyInfoEvent = std::function<void(TObject* sender, TSocketInfo socketInfo, const std::string& msg)>;
using TNotifyReadEvent = std::function<void(TObject* sender, int count)>;
using TNotifyAutoEvent = std::function<void(TObject* sender, TSock* newSock)>;

// One socket, TCP (client or listener) or UDP, blocking or driven by window
// messages, reporting every step through OnInfo. Errors of use raise
// ESockException; asynchronous errors are only reported. A TCP client reaches
// IPv6 and IPv4 alike, trying a name's addresses one after another
// (Connector); listeners and datagrams are IPv4.
class TSock final : public TComponent {
public:
    // Socket notifications arrive as this message.
    static constexpr unsigned WM_SOCK = WM_USER + 75;
    // One receive call takes at most this much.
    static constexpr int ReceiveArea = 32768;

    TSock();
    ~TSock() override;
    TSock(const TSock&) = delete;
    TSock& operator=(const TSock&) = delete;

    const std::string& HostName() const { return hostName_; }
    void SetHostName(const std::string& name);
    const std::string& PortName() const { return portName_; }
    void SetPortName(const std::string& name);
    TSocketType SocketType() const { return socketType_; }
    void SetSocketType(TSocketType type);
    bool Blocking() const { return blocking_; }
    void SetBlocking(bool blocking);
    bool Listen() const { return listen_; }
    void SetListen(bool listen);
    bool Connected() const { return connected_; }
    SOCKET Handle() const { return socket_; }

    bool AutoAccept = false;
    TLineBreak LineBreak = lbSmart;
    // Which family of a name's addresses a TCP client tries first.
    AddressOrder Order = AddressOrder::System;
    // How long a TCP client's connect may take in all, over every address.
    int ConnectTimeoutMs = 30000;

    bool Open();
    bool Close();
    bool Send(const std::string& text);
    std::string Receive();
    std::string Text() { return Receive(); }
    bool SendDatagram(const std::string& text, const std::string& host);
    void ReceiveDatagram(std::string& host, std::string& data);
    std::string RemoteHost() const;
    uint32_t HostLookup(const std::string& name);
    uint16_t PortLookup(const std::string& name);

    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TNotifyInfoEvent OnInfo;
    TNotifyReadEvent OnRead;
    TNotifyEvent OnWrite;
    TNotifyEvent OnAccept;
    TNotifyAutoEvent OnAutoAccept;

private:
    void WndProc(Message& m);
    void ApplyBlocking();
    void Report(TSocketInfo kind, const std::string& text);
    void Fire(const TNotifyEvent& event);
    void ConnectNotified();
    // The TCP client's addresses: the host's, or this machine for no host.
    std::vector<NetAddress> StreamAddresses();
    bool ConnectBlocking(const std::vector<NetAddress>& addresses, uint16_t port);
    // A non-blocking connect's next step, on its timer.
    void ConnectStep();
    void ConnectFailed(int error);
    void Readable();
    void Writable();
    void Accept();
    std::string ReceiveBlocking();

    sockaddr_in target_{};
    sockaddr_in peer_{};
    std::vector<char> receiveArea_;
    TSocketType socketType_ = stStream;
    std::string hostName_;
    std::string portName_;
    SOCKET socket_ = INVALID_SOCKET;
    std::string received_;
    std::string pending_;
    bool listen_ = false;
    bool blocking_ = false;
    bool connected_ = false;
    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<Connector> connector_;
    std::chrono::steady_clock::time_point connectStarted_{};
    std::vector<std::unique_ptr<TSock>> accepted_;
    std::vector<std::thread> acceptThreads_;
};
