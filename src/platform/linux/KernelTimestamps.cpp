#include "platform/linux/KernelTimestamps.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <sys/socket.h>

bool EnableReceiveTimestamps(int fd)
{
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

int64_t WallClockNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t ReceiveTimeNs(const msghdr& msg)
{
    auto& m = const_cast<msghdr&>(msg); // the CMSG macros take a non-const header
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS ||
            c->cmsg_len < CMSG_LEN(sizeof(timespec)))
            continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        if (stamp.tv_sec != 0 || stamp.tv_nsec != 0)
            return int64_t(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
    }
    return WallClockNs();
}

uint32_t MicrosecondsBetween(int64_t sentNs, int64_t receivedNs)
{
    const int64_t us = (receivedNs - sentNs) / 1000;
    return uint32_t(std::clamp<int64_t>(us, 0, UINT32_MAX));
}
