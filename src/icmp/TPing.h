#pragma once

#include "icmp/TICMP.h"

#include <deque>
#include <functional>

// Sends one echo per Execute and reports its answer through OnPing.
class TPing final : public TICMP {
public:
    using TPingEvent = std::function<void(TObject* sender, int status, uint32_t ip, int roundtime)>;

    // Raw-socket notifications arrive as this message.
    static constexpr unsigned WM_RAW_ICMP = WM_USER + 258;

    void WndProc(Message& m) override;
    void Execute() override;

    TPingEvent OnPing;

private:
    void SendThroughLibrary();
    void SendRawEcho();
    void ReceiveRawReply();
    void Report(int status, uint32_t ip, int roundtime);

    // Sequence numbers of raw echoes sent and not yet answered: each reply
    // counts once, a duplicate not at all.
    std::deque<uint16_t> outstanding_;
    static constexpr size_t MaxOutstanding = 1024;
};
