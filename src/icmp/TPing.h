#pragma once

#include "icmp/TICMP.h"

#include <chrono>
#include <deque>
#include <functional>

// Sends one echo per Execute and reports its answer through OnPing; the
// round trip in microseconds is RoundTripMicroseconds() during the event.
class TPing final : public TICMP {
public:
    using TPingEvent = std::function<void(TObject* sender, int status, uint32_t ip, int roundtime)>;

    // Raw-socket notifications arrive as this message.
    static constexpr unsigned WM_RAW_ICMP = WM_USER + 258;

    void WndProc(Message& m) override;
    void Execute() override;
    // Also forgets the raw echoes still awaited: none is reported after Stop.
    void Cancel() override;

    // Raw echoes sent whose answer (or time-out) has not been reported yet.
    size_t Awaiting() const { return outstanding_.size(); }

    TPingEvent OnPing;
    // An echo to an IPv6 destination reports here instead, with the address as
    // text; RoundTripMicroseconds() holds during it too.
    using TPing6Event = std::function<void(TObject* sender, int status, const std::string& address, int roundtime)>;
    TPing6Event OnPing6;

private:
    using Clock = std::chrono::steady_clock;
    struct RawEcho {
        uint16_t sequence;
        uint32_t target;
        Clock::time_point sent;
        Clock::time_point deadline;
        int64_t sentNs; // on the receive stamps' clock
    };

    void SendThroughLibrary();
    void SendThroughIcmp6();
    void SendRawEcho();
    void ReceiveRawReply();
    // Reports the awaited echoes whose time is up as timed out.
    void ExpireRawEchoes();
    // Sets the timer for the earliest time-out still ahead (off when none).
    void ArmExpiryTimer();
    void Report(int status, uint32_t ip, int roundtime, uint32_t roundTripUs);

    // Raw echoes sent and not yet answered: each counts once (a duplicate or
    // late reply not at all) and is reported as timed out when its time is up.
    std::deque<RawEcho> outstanding_;
    static constexpr size_t MaxOutstanding = 1024;
    static constexpr unsigned ExpiryTimer = 1;
};
