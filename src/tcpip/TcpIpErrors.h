#pragma once

#include "framework/Exception.h"

#include <cstdint>
#include <string>

// The protocol clients' exception family.
class ETcpIpError : public Exception {
public:
    using Exception::Exception;
};

// No connection: the text names the reason and the address tried
// ("Error creating socket: connection refused by 127.0.0.1:110").
class ESocketError final : public ETcpIpError {
public:
    explicit ESocketError(uint16_t code, const std::string& reason = {})
        : ETcpIpError(reason.empty() ? "Error creating socket" : "Error creating socket: " + reason), ErrorCode(code)
    {
    }
    uint16_t ErrorCode;
};

class EProtocolError final : public ETcpIpError {
public:
    EProtocolError(const std::string& reply, uint16_t code, std::string protocol)
        : ETcpIpError(reply), ReplyCode(code), Protocol(std::move(protocol))
    {
    }
    uint16_t ReplyCode;
    std::string Protocol;
};

class EProtocolBusy final : public ETcpIpError {
public:
    EProtocolBusy() : ETcpIpError("Protocol busy") {}
};
