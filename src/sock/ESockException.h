#pragma once

#include "framework/Exception.h"

// Errors of use and failed set-up of the socket component and its module.
class ESockException : public Exception {
public:
    using Exception::Exception;
};
