#pragma once

#include "settings/Regi1632.h"
#include "sock/NameResolver.h"

#include <string>

// The configuration value that picks which family of a name's addresses a
// command uses first: "system" (the resolver's order, the default), "ipv4"
// or "ipv6".
constexpr const char* AddressOrderValue = "address_order";

// The stored text as an order; missing, empty or unknown text is the system's.
AddressOrder AddressOrderFromText(const std::string& text);
std::string AddressOrderText(AddressOrder order);

AddressOrder ConfiguredAddressOrder(TRegistry1632& settings);
