#pragma once

#include "support/NetworkTopology.h"

#include <gtest/gtest.h>

#include <memory>

// A window fixture whose thread works in the client namespace of the IPv4
// router chain (root only). The window goes first: its sockets live there.
template <class Base>
class RouteChainFixture : public Base {
protected:
    void TearDown() override
    {
        this->window.reset();
        inside.reset();
        topology.reset();
        Base::TearDown();
    }
    // Builds the chain and moves this thread into its client namespace.
    void EnterChain()
    {
        topology = std::make_unique<testsupport::RouteTopology>();
        ASSERT_TRUE(topology->ok());
        inside = std::make_unique<testsupport::EnterNamespace>(topology->client);
        ASSERT_TRUE(inside->ok());
    }
    std::unique_ptr<testsupport::RouteTopology> topology;
    std::unique_ptr<testsupport::EnterNamespace> inside;
};
