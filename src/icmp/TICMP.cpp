#include "icmp/TICMP.h"
#include "icmp/EHostNotResolved.h"
#include "icmp/EICMPError.h"
#include "icmp/IcmpModule.h"
#include "sock/AddressHelpers.h"

#include <QCoreApplication>

#include <cstring>
#include <unistd.h>

TICMP::TICMP()
    : window_(std::make_unique<MessageWindow>([this](Message& m) { WndProc(m); }))
{
}

TICMP::~TICMP()
{
    // The window goes first so no notification reaches a half-destroyed object.
    window_.reset();
    if (icmpHandle_ != INVALID_HANDLE_VALUE && IcmpLibrary().IcmpCloseHandle)
        IcmpLibrary().IcmpCloseHandle(icmpHandle_);
    if (rawSocket_ != INVALID_SOCKET)
        winsock::closesocket(rawSocket_);
    if (icmp6Handle_ != INVALID_HANDLE_VALUE)
        IcmpCloseHandle(icmp6Handle_);
}

void TICMP::WndProc(Message& m)
{
    // Never stand in the way of the session ending.
    if (m.Msg == WM_QUERYENDSESSION)
        m.Result = 1;
}

void TICMP::Execute()
{
    cancelled_ = false;
    replySize_ = int32_t(Blocksize) + 44;
    target6_ = {};
    targetIsIpv6_ = false;
    // The IPv4 path keeps its own look-up: first, unless another order was asked for.
    targetAddress_ = Order == AddressOrder::IPv4First ? ResolveAddress(Hostname) : NoAddress;
    if (targetAddress_ != NoAddress)
        return;
    for (const NetAddress& a : ResolveAll(Hostname, Order)) {
        if (a.IsIPv4()) {
            targetAddress_ = a.IPv4();
            return;
        }
        sockaddr_storage storage{};
        if (a.IsIPv6() && a.ToSockaddr(storage) >= socklen_t(sizeof target6_)) {
            std::memcpy(&target6_, &storage, sizeof target6_);
            targetIsIpv6_ = true;
            return;
        }
    }
}

NetAddress TICMP::AnswerAddress(const IPV6_ADDRESS_EX& address)
{
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    std::memcpy(&a.sin6_addr, address.sin6_addr, sizeof a.sin6_addr);
    a.sin6_scope_id = address.sin6_scope_id;
    return NetAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&a), sizeof a).value_or(NetAddress());
}

uint16_t TICMP::Identifier() const
{
    // Addresses of objects in two processes often share their low bits (the
    // layout is page-granular), so the process id is mixed in as well.
    const auto address = uint32_t(reinterpret_cast<uintptr_t>(this) >> 4);
    const auto pid = uint32_t(::getpid());
    return uint16_t((address ^ (address >> 16) ^ (pid * 40503u) ^ (pid >> 16)) & 0xFFFF);
}

void TICMP::EnsureIcmpHandle()
{
    if (icmpHandle_ == INVALID_HANDLE_VALUE && IcmpLibrary().IcmpCreateFile)
        icmpHandle_ = IcmpLibrary().IcmpCreateFile();
}

void TICMP::RequireTarget() const
{
    if (targetAddress_ != NoAddress || targetIsIpv6_)
        return;
    if (Hostname.empty())
        throw EHostNotResolved("No host given: nothing was sent. Type a host name or an address.");
    throw EHostNotResolved("Cannot resolve " + Hostname +
                           ": nothing was sent. Check the name, or type the host's address.");
}

uint32_t TICMP::SendLibraryEcho(uint8_t ttl, const std::string& request, std::vector<uint8_t>& reply)
{
    roundTripUs_ = 0;
    const uint32_t replies = SendEchoThroughLibrary(ttl, request, reply);
    if (replies != 1 || reply.size() < sizeof(ICMP_ECHO_REPLY))
        return replies;
    const IcmpEntryPoints& library = IcmpLibrary();
    uint32_t us = 0;
    if (library.IcmpGetRoundTripMicroseconds && library.IcmpGetRoundTripMicroseconds(icmpHandle_, &us)) {
        roundTripUs_ = us;
    } else {
        ICMP_ECHO_REPLY head;
        std::memcpy(&head, reply.data(), sizeof head);
        roundTripUs_ = head.RoundTripTime * 1000;
    }
    return replies;
}

uint32_t TICMP::SendEchoThroughLibrary(uint8_t ttl, const std::string& request, std::vector<uint8_t>& reply)
{
    IP_OPTION_INFORMATION options;
    options.Ttl = ttl;
    const IcmpEntryPoints& library = IcmpLibrary();
    if (library.IcmpSendEchoWhile)
        return library.IcmpSendEchoWhile(icmpHandle_, targetAddress_, request.data(), uint16_t(request.size()),
                                         &options, reply.data(), uint32_t(reply.size()), Timeout, [this] {
                                             // Stop and repaints get through while the answer is awaited.
                                             QCoreApplication::processEvents();
                                             return !cancelled_;
                                         });
    if (!library.IcmpSendEcho)
        return 0;
    return library.IcmpSendEcho(icmpHandle_, targetAddress_, request.data(), uint16_t(request.size()), &options,
                                reply.data(), uint32_t(reply.size()), Timeout);
}

std::vector<uint8_t> TICMP::Icmp6ReplyBuffer() const
{
    // Room for the head, the echoed data and an error's quoted header.
    return std::vector<uint8_t>(sizeof(ICMPV6_ECHO_REPLY) + Blocksize + 8, 0);
}

uint32_t TICMP::SendIcmp6Echo(uint8_t hopLimit, const std::string& request, std::vector<uint8_t>& reply)
{
    if (icmp6Handle_ == INVALID_HANDLE_VALUE)
        icmp6Handle_ = Icmp6CreateFile();
    if (icmp6Handle_ == INVALID_HANDLE_VALUE)
        throw EICMPError("No ICMPv6 available: nothing was sent to " + Hostname +
                         ". Allow your group in net.ipv4.ping_group_range, or run with CAP_NET_RAW.");
    IP_OPTION_INFORMATION options;
    options.Ttl = hopLimit;
    roundTripUs_ = 0;
    const uint32_t replies =
        Icmp6SendEcho2While(icmp6Handle_, nullptr, &target6_, request.data(), uint16_t(request.size()), &options,
                            reply.data(), uint32_t(reply.size()), Timeout, [this] {
                                QCoreApplication::processEvents();
                                return !cancelled_;
                            });
    if (replies == 1)
        IcmpGetRoundTripMicroseconds(icmp6Handle_, &roundTripUs_);
    return replies;
}
