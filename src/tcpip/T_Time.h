#pragma once

#include "tcpip/T_TcpIp.h"

enum t_timemode { tzUTC, tzLocal };

// The RFC 868 time client (TCP port 37): the server sends the seconds since
// 1900-01-01 00:00 UTC as 32 bits, big-endian, and closes.
class T_Time final : public T_TcpIp {
public:
    T_Time();

    void DoAction() override;

    t_timemode TimeMode = tzUTC;
    // Days since 1899-12-30 00:00, the time of day as the fraction.
    double DateTime = 0;

    // The date-time of an answer of four bytes. A 32-bit count runs out in
    // February 2036; as NTP does, a count with its top bit clear is taken to be
    // past that (no server sends a time before 1968).
    static double FromSeconds(uint32_t seconds);
};
