#pragma once

#include "icmp/EICMPError.h"

// The host to echo has no address: nothing was sent.
class EHostNotResolved : public EICMPError {
public:
    using EICMPError::EICMPError;
};
