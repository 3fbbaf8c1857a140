#pragma once

#include "framework/Component.h"
#include "platform/MessageWindow.h"
#include "platform/icmp6.h"
#include "platform/icmplib.h"
#include "platform/winsock.h"
#include "sock/NameResolver.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Common settings of the echo components and their link to the ICMP facility.
class TICMP : public TComponent {
public:
    TICMP();
    ~TICMP() override;
    TICMP(const TICMP&) = delete;
    TICMP& operator=(const TICMP&) = delete;

    // The hidden window's message handler.
    virtual void WndProc(Message& m);
    // Prepares a run; descendants send.
    virtual void Execute();
    // Stops a trace before its next probe and cuts short the wait for an
    // answer; an echo not yet sent is not sent, and none is reported.
    virtual void Cancel() { cancelled_ = true; }
    // Whether Cancel came since the last Execute began (a trace that reached
    // its target counts as cancelled too).
    bool Cancelled() const { return cancelled_; }

    uint8_t Blocksize = 64;
    uint32_t Timeout = 5000;
    uint8_t TimeToLive = 255;
    std::string Hostname;
    // Which family a name with addresses of both is reached by; IPv4 first
    // keeps the IPv4 path's own look-up for every name that has an IPv4 address.
    AddressOrder Order = AddressOrder::IPv4First;

    uint32_t TargetAddress() const { return targetAddress_; }
    // Set when Hostname named an IPv6 destination (a literal, or a name whose
    // first address in Order is IPv6): the echoes then go over ICMPv6.
    bool TargetIsIpv6() const { return targetIsIpv6_; }
    const sockaddr_in6& TargetAddress6() const { return target6_; }
    int32_t ReplySize() const { return replySize_; }
    // The identifier of the component's raw echoes: its address mixed with the
    // process id, so two components, or two running copies, do not share one.
    uint16_t Identifier() const;
    // The round trip of the answer being reported, in microseconds (read in
    // the answer's event); whole milliseconds times 1000 where the facility
    // measures no finer, 0 for an echo without an answer.
    uint32_t RoundTripMicroseconds() const { return roundTripUs_; }

protected:
    // Opens the library handle if it is still invalid (a failed open is retried
    // on the next call).
    void EnsureIcmpHandle();
    // Raises EHostNotResolved when Hostname gave no address: nothing may be
    // sent to the all-ones address that stands for none.
    void RequireTarget() const;
    std::string RequestData() const { return std::string(Blocksize, char(0xA7)); }
    // One echo to the target through the library; reply holds the answer when
    // 1 is returned. The wait keeps the window's events flowing and ends at
    // once when the component is cancelled (0 then). Sets the round trip in
    // microseconds for an answer.
    uint32_t SendLibraryEcho(uint8_t ttl, const std::string& request, std::vector<uint8_t>& reply);

    // One ICMPv6 echo to the IPv6 target, waited for like SendLibraryEcho;
    // reply starts with an ICMPV6_ECHO_REPLY when 1 is returned, and the round
    // trip in microseconds is set for it. Raises
    // EICMPError when the kernel allows no ICMPv6 socket.
    uint32_t SendIcmp6Echo(uint8_t hopLimit, const std::string& request, std::vector<uint8_t>& reply);
    // A reply buffer for an ICMPv6 echo of Blocksize bytes.
    std::vector<uint8_t> Icmp6ReplyBuffer() const;
    // Who answered an ICMPv6 echo.
    static NetAddress AnswerAddress(const IPV6_ADDRESS_EX& address);

    HANDLE icmpHandle_ = INVALID_HANDLE_VALUE;
    HANDLE icmp6Handle_ = INVALID_HANDLE_VALUE;
    sockaddr_in6 target6_{};
    bool targetIsIpv6_ = false;
    SOCKET rawSocket_ = INVALID_SOCKET;
    int32_t replySize_ = 0;
    uint32_t targetAddress_ = 0;
    uint32_t roundTripUs_ = 0;
    bool cancelled_ = false;
    std::unique_ptr<MessageWindow> window_;

private:
    // The library call itself, without the microseconds.
    uint32_t SendEchoThroughLibrary(uint8_t ttl, const std::string& request, std::vector<uint8_t>& reply);
};
