#pragma once

#include "framework/Component.h"
#include "platform/MessageWindow.h"
#include "platform/icmplib.h"
#include "platform/winsock.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Common settings of the echo components and their link to the ICMP facility.
class TICMP : public TComponent {
public:
    TICMP();
    ~TICMP() override;
    TICMP(const TICMP&) = delete;
    TICMP& operator=(const TICMP&) = delete;

    // The hidden window's message handler.
    virtual void WndProc(Message& m);
    // Prepares a run; descendants send.
    virtual void Execute();
    // Stops a trace before its next probe and cuts short the wait for an
    // answer; an echo not yet sent is not sent, and none is reported.
    virtual void Cancel() { cancelled_ = true; }
    // Whether Cancel came since the last Execute began (a trace that reached
    // its target counts as cancelled too).
    bool Cancelled() const { return cancelled_; }

    uint8_t Blocksize = 64;
    uint32_t Timeout = 5000;
    uint8_t TimeToLive = 255;
    std::string Hostname;

    uint32_t TargetAddress() const { return targetAddress_; }
    int32_t ReplySize() const { return replySize_; }
    // The identifier of the component's raw echoes: its address mixed with the
    // process id, so two components, or two running copies, do not share one.
    uint16_t Identifier() const;
    // The round trip of the answer being reported, in microseconds (read in
    // the answer's event); whole milliseconds times 1000 where the facility
    // measures no finer, 0 for an echo without an answer.
    uint32_t RoundTripMicroseconds() const { return roundTripUs_; }

protected:
    // Opens the library handle if it is still invalid (a failed open is retried
    // on the next call).
    void EnsureIcmpHandle();
    // Raises EHostNotResolved when Hostname gave no address: nothing may be
    // sent to the all-ones address that stands for none.
    void RequireTarget() const;
    std::string RequestData() const { return std::string(Blocksize, char(0xA7)); }
    // One echo to the target through the library; reply holds the answer when
    // 1 is returned. The wait keeps the window's events flowing and ends at
    // once when the component is cancelled (0 then). Sets the round trip in
    // microseconds for an answer.
    uint32_t SendLibraryEcho(uint8_t ttl, const std::string& request, std::vector<uint8_t>& reply);

    HANDLE icmpHandle_ = INVALID_HANDLE_VALUE;
    SOCKET rawSocket_ = INVALID_SOCKET;
    int32_t replySize_ = 0;
    uint32_t targetAddress_ = 0;
    uint32_t roundTripUs_ = 0;
    bool cancelled_ = false;
    std::unique_ptr<MessageWindow> window_;

private:
    // The library call itself, without the microseconds.
    uint32_t SendEchoThroughLibrary(uint8_t ttl, const std::string& request, std::vector<uint8_t>& reply);
};
