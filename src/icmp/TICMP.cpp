#include "icmp/TICMP.h"
#include "icmp/EHostNotResolved.h"
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
    targetAddress_ = ResolveAddress(Hostname);
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
    if (targetAddress_ != NoAddress)
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
