#pragma once

#include "sock/AddressHelpers.h"
#include "sock/SocketModule.h"

#include <gtest/gtest.h>

// The address helpers and the socket layer, started as the program starts them.
class SocketFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartAddressHelpers();
        StartSocketModule();
    }
    void TearDown() override
    {
        EndSocketModule();
        EndAddressHelpers();
    }
};
