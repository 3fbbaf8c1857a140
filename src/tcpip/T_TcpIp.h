#pragma once

#include "framework/Wait.h"
#include "platform/MessageWindow.h"
#include "platform/winsock.h"
#include "sock/LineReader.h"
#include "tcpip/T_NetComponent.h"
#include "tcpip/TcpIpErrors.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TTraceLevel { tlCommand, tlReply, tlSocket };
using TTraceProc = std::function<void(const std::string& s, TTraceLevel level)>;

enum TSocketState { ssNoSocket, ssNotConnected, ssConnected, ssError };

// The TCP machinery the protocol clients share: one control connection, command
// lines out, reply lines in, a trace of every step. Every wait for the server is
// bounded by ReplyTimeoutMs and, on the GUI thread, keeps the window painting;
// Cancel ends a wait from outside.
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
    virtual void OpenOutputSocket(SOCKET& s, uint16_t port, uint32_t address);
    virtual void DoAction();
    virtual void SendCommand(const std::string& line);
    virtual void Login();
    virtual void Logout();
    virtual bool Eof(SOCKET s);

    SOCKET CreateSocket();
    void ConnectSocket(SOCKET& s, uint16_t port, uint32_t address);
    void BindAndListen(SOCKET& s, uint16_t& port, uint32_t localAddress);
    SOCKET AcceptConnection(SOCKET listening, sockaddr_in& peer);
    TSocketState SocketState(SOCKET s);
    void CloseSocket(SOCKET& s);
    void ReceiveBuffer(SOCKET s, char* buffer, int& count, int size);
    // One reply line, CR LF or LF ended; false (line unchanged) when the
    // connection ended first. A line past the reader's cap is no reply: the
    // connection is dropped with an error.
    bool ReadLine(SOCKET s, std::string& line);
    void SendBuffer(SOCKET s, const char* buffer, int& length);
    void SendString(SOCKET s, const std::string& text);

    // Ends the wait under way (from a handler the wait lets through, or from
    // another thread); the exchange ends with an error saying it was stopped.
    void Cancel();

    SOCKET Socket = INVALID_SOCKET;
    std::string Hostname;
    TTraceProc OnTrace;
    uint16_t RemotePort = 0;
    uint32_t IPAddress = 0xFFFFFFFFu;
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

protected:
    void Trace(TTraceLevel level, const std::string& text)
    {
        if (OnTrace)
            OnTrace(text, level);
    }
    bool Tracing() const { return bool(OnTrace); }
    // A wait gave up: the connection is of no further use, and the next Login
    // starts afresh.
    virtual void ConnectionLost();
    // Waits until s is readable (or writable); raises when the time is up or
    // the wait was cancelled, after dropping the connection.
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

    // A socket whose notifications a wait on the GUI thread must not sleep
    // through: when it has data, the wait pumps events at once.
    SOCKET WatchAlso = INVALID_SOCKET;

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

    LineReader lines_;
    std::atomic<bool> waiting_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<std::chrono::steady_clock::rep> progressAt_{0};
    int exchanges_ = 0;
};
