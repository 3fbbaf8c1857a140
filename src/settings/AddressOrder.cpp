#include "settings/AddressOrder.h"
#include "settings/ConfigKeys.h"

#include <cctype>

AddressOrder AddressOrderFromText(const std::string& text)
{
    std::string t;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            t += char(std::tolower(static_cast<unsigned char>(c)));
    if (t == "ipv4")
        return AddressOrder::IPv4First;
    if (t == "ipv6")
        return AddressOrder::IPv6First;
    return AddressOrder::System;
}

std::string AddressOrderText(AddressOrder order)
{
    switch (order) {
    case AddressOrder::IPv4First: return "ipv4";
    case AddressOrder::IPv6First: return "ipv6";
    case AddressOrder::System: break;
    }
    return "system";
}

AddressOrder ConfiguredAddressOrder(TRegistry1632& settings)
{
    return AddressOrderFromText(settings.ReadKeyLM(ConfigPath, AddressOrderValue));
}
