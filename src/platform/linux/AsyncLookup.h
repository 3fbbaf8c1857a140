#pragma once

// Name look-ups on worker threads (getaddrinfo blocks), each result handed to
// its delivery unless the look-up was cancelled first.

#include "platform/linux/AddressList.h"
#include "platform/linux/HostEntry.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsock::detail {

using LookupId = uintptr_t;

// Runs on the worker thread under the look-up table's lock: once a
// cancellation returns, no delivery of that look-up is under way or follows.
using LookupDelivery = std::function<void(LookupId id, const HostEntryData& result, ResolverResult resolved)>;

using AddressDelivery = std::function<void(LookupId id, const std::vector<sockaddr_storage>& result,
                                           ResolverResult resolved)>;

// window keys the look-up: it going away cancels the look-ups started for it.
LookupId StartLookup(QObject* window, const std::string& name, LookupDelivery deliver);
// Every address of name in family (AF_UNSPEC: both), in the resolver's order.
LookupId StartAddressLookup(QObject* window, const std::string& name, int family, AddressDelivery deliver);
// false when the look-up was delivered or cancelled already.
bool CancelLookup(LookupId id);

} // namespace winsock::detail
