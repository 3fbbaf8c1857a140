#pragma once

#include "icmp/IcmpModule.h"
#include "platform/icmplib.h"
#include "sock/AddressHelpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

// Starts the socket layer and probes ICMP as the program does; each test may
// then pin a mode. Root-only tests say why they skip.
class IcmpFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartAddressHelpers();
        ProbeIcmp();
    }
    void TearDown() override
    {
        EndIcmpModule();
        icmplib::testing::UseOnly(IcmpFacility::None);
        EndAddressHelpers();
    }
    static bool IsRoot() { return ::geteuid() == 0; }
};

#define REQUIRE_ROOT(what)                                                                      \
    do {                                                                                        \
        if (!IsRoot())                                                                          \
            GTEST_SKIP() << "needs root for " << what;                                          \
    } while (0)
