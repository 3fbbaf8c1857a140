#pragma once

#include "framework/Exception.h"

// "No ICMP available", "No ICMP.DLL found" or "Not yet implemented".
class EICMPError : public Exception {
public:
    using Exception::Exception;
};
