#include "platform/IcmpEcho.h"

#include <cerrno>

uint32_t IcmpErrorStatus(uint8_t type, uint8_t code)
{
    switch (type) {
    case 11: return code == 1 ? IP_TTL_EXPIRED_REASSEM : IP_TTL_EXPIRED_TRANSIT;
    case 3:
        switch (code) {
        case 0: case 6: case 9: case 11: return IP_DEST_NET_UNREACHABLE;
        case 2: return IP_DEST_PROT_UNREACHABLE;
        case 3: return IP_DEST_PORT_UNREACHABLE;
        case 4: return IP_PACKET_TOO_BIG;
        case 5: return IP_BAD_ROUTE;
        default: return IP_DEST_HOST_UNREACHABLE;
        }
    case 12: return IP_PARAM_PROBLEM;
    case 4: return IP_SOURCE_QUENCH;
    default: return 0;
    }
}

uint32_t LocalEchoErrorStatus(int err)
{
    switch (err) {
    case ENETUNREACH: return IP_DEST_NET_UNREACHABLE;
    case EHOSTUNREACH: return IP_DEST_HOST_UNREACHABLE;
    case EMSGSIZE: return IP_PACKET_TOO_BIG;
    default: return IP_GENERAL_FAILURE;
    }
}
