#include "icmp/TICMP.h"
#include "icmp/IcmpModule.h"
#include "sock/AddressHelpers.h"

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
