#pragma once

#include "framework/Exception.h"

#include <cstdint>
#include <string>

// The protocol clients' exception family.
class ETcpIpError : public Exception {
public:
    using Exception::Exception;
};

class ESocketError final : public ETcpIpError {
public:
    explicit ESocketError(uint16_t code) : ETcpIpError("Error creating socket"), ErrorCode(code) {}
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
