#include "sock/SocketModule.h"
#include "sock/ESockException.h"
#include "platform/winsock.h"

#include <memory>

namespace {

int starts = 0;
WSADATA startupRecord;
std::unique_ptr<HostNameCache> cache;

} // namespace

void StartSocketModule()
{
    if (starts++ > 0)
        return;
    if (winsock::WSAStartup(0x0101, &startupRecord) != 0) {
        starts = 0;
        throw ESockException("WSAStartup - Could Not Initialize WinSock");
    }
    cache = std::make_unique<HostNameCache>();
}

void EndSocketModule()
{
    if (starts == 0 || --starts > 0)
        return;
    cache.reset();
    winsock::WSACleanup();
}

std::string WinsockDescription()
{
    return startupRecord.szDescription;
}

std::string WinsockSystemStatus()
{
    return startupRecord.szSystemStatus;
}

HostNameCache& HostCache()
{
    // Used before start (tests of a single component) it still works.
    if (!cache)
        cache = std::make_unique<HostNameCache>();
    return *cache;
}
