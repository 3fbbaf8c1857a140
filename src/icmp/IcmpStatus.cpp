#include "icmp/IcmpStatus.h"
#include "platform/icmplib.h"

std::string IcmpStatusText(uint32_t status)
{
    switch (status) {
    case IP_SUCCESS: return "Success";
    case IP_BUF_TOO_SMALL: return "Reply buffer too small";
    case IP_DEST_NET_UNREACHABLE: return "Destination network unreachable";
    case IP_DEST_HOST_UNREACHABLE: return "Destination host unreachable";
    case IP_DEST_PROT_UNREACHABLE: return "Destination protocol unreachable";
    case IP_DEST_PORT_UNREACHABLE: return "Destination port unreachable";
    case IP_BAD_OPTION: return "Bad option (a time-to-live of 0 cannot be sent)";
    case IP_PACKET_TOO_BIG: return "Packet too big";
    case IP_REQ_TIMED_OUT: return "Request timed out";
    case IP_BAD_ROUTE: return "Bad route";
    case IP_TTL_EXPIRED_TRANSIT: return "TTL expired in transit";
    case IP_TTL_EXPIRED_REASSEM: return "TTL expired during reassembly";
    case IP_PARAM_PROBLEM: return "Parameter problem";
    case IP_SOURCE_QUENCH: return "Source quench";
    case IP_GENERAL_FAILURE: return "General failure";
    default: return {};
    }
}
