#pragma once

#include "tcpip/T_TcpIp.h"

enum t_timemode { tzUTC, tzLocal };

// The RFC 868 time client (TCP port 37): the server sends the seconds since
// 1900-01-01 00:00 UTC as 32 bits, big-endian, and closes. Old inetd services
// send four zero bytes after the count; some servers never close.
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

private:
    // Reads what follows a whole answer, giving a server that keeps the
    // connection open a moment to close or send more; false when it did neither.
    bool ReceiveMore(std::string& answer, size_t size);
};
