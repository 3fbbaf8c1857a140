#pragma once

#include "framework/Component.h"
#include "platform/MessageWindow.h"
#include "platform/icmplib.h"
#include "platform/winsock.h"

#include <cstdint>
#include <memory>
#include <string>

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
    // Stops a trace before its next probe; an echo not yet sent is not sent.
    void Cancel() { cancelled_ = true; }

    uint8_t Blocksize = 64;
    uint32_t Timeout = 5000;
    uint8_t TimeToLive = 255;
    std::string Hostname;

    uint32_t TargetAddress() const { return targetAddress_; }
    int32_t ReplySize() const { return replySize_; }
    // The identifier of the component's raw echoes: its address mixed with the
    // process id, so two components, or two running copies, do not share one.
    uint16_t Identifier() const;

protected:
    // Opens the library handle if it is still invalid (a failed open is retried
    // on the next call).
    void EnsureIcmpHandle();
    std::string RequestData() const { return std::string(Blocksize, char(0xA7)); }

    HANDLE icmpHandle_ = INVALID_HANDLE_VALUE;
    SOCKET rawSocket_ = INVALID_SOCKET;
    int32_t replySize_ = 0;
    uint32_t targetAddress_ = 0;
    bool cancelled_ = false;
    std::unique_ptr<MessageWindow> window_;
};
