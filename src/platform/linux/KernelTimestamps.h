#pragma once

// Round trips from the kernel's clock. A socket with SO_TIMESTAMPNS gets, with
// each datagram (and each message of its error queue, IP_RECVERR), the
// CLOCK_REALTIME moment the kernel received it as an SCM_TIMESTAMPNS control
// message; the send time is CLOCK_REALTIME read right before sendto, as iputils
// ping takes it. Send-side kernel stamps (SO_TIMESTAMPING) are not used: they
// come back on the error queue, which the datagram socket keeps for ICMP errors.
// Nothing here depends on the address family.

#include <cstddef>
#include <cstdint>

struct msghdr;

// Room for the control messages of one receive: a timestamp and an extended
// error with its offender's address (either family).
constexpr size_t StampedControlRoom = 512;

// Asks the kernel to stamp every datagram fd receives; false when it refuses
// (the receive time is then read when the datagram is read).
bool EnableReceiveTimestamps(int fd);

// CLOCK_REALTIME now, in nanoseconds: the clock the receive stamps are in.
int64_t WallClockNs();

// The receive stamp among msg's control messages; WallClockNs() when it has none.
int64_t ReceiveTimeNs(const msghdr& msg);

// Whole microseconds from sentNs to receivedNs; 0 when the clock was set back
// between the two.
uint32_t MicrosecondsBetween(int64_t sentNs, int64_t receivedNs);
