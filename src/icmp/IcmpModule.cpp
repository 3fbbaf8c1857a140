#include "icmp/IcmpModule.h"
#include "platform/localtime.h"
#include "platform/winsock.h"

#include <netinet/in.h>

namespace {

TIcmpMode mode = imNone;
IcmpLibraryModule library = 0;
IcmpEntryPoints entries;
uint16_t sequence = 0;

constexpr uint32_t MillisecondsPerHour = 3600000;

// Loads the library and binds its three entry points; false when missing.
bool LoadLibrary()
{
    library = LoadIcmpLibrary();
    if (library == 0)
        return false;
    entries = BindIcmpEntryPoints(library);
    return true;
}

} // namespace

void ProbeIcmp()
{
    const SOCKET probe = winsock::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (probe == INVALID_SOCKET) {
        mode = LoadLibrary() ? imLibrary : imNone;
        return;
    }
    const int32_t value = 64;
    if (winsock::setsockopt(probe, 0, 4, reinterpret_cast<const char*>(&value), 4) == 0) {
        mode = imRaw;
    } else {
        winsock::WSAGetLastError(); // read, as the probe does, but not used
        mode = LoadLibrary() ? imRawPingLibraryTrace : imRawPingNoTrace;
    }
    winsock::closesocket(probe);
}

void EndIcmpModule()
{
    entries = IcmpEntryPoints{};
    if (library == 0)
        return;
    FreeIcmpLibrary(library);
    library = 0;
}

TIcmpMode IcmpMode()
{
    return mode;
}

void ForceIcmpMode(TIcmpMode forced)
{
    mode = forced;
}

const IcmpEntryPoints& IcmpLibrary()
{
    return entries;
}

void UseIcmpEntryPoints(const IcmpEntryPoints& stand_in)
{
    entries = stand_in;
}

uint16_t NextRawSequence()
{
    return sequence++;
}

uint32_t IcmpClock()
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    return uint32_t(t.wMinute) * 60000 + uint32_t(t.wSecond) * 1000 + t.wMilliseconds;
}

int32_t ElapsedSince(uint32_t stamp, uint32_t now)
{
    int64_t elapsed = int64_t(now) - int64_t(stamp);
    if (elapsed < 0)
        elapsed += MillisecondsPerHour;
    return int32_t(elapsed);
}
