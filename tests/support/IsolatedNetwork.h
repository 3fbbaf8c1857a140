#pragma once

#include <functional>
#include <string>

namespace testsupport {

// Runs fn in a forked child inside a new, empty network namespace (loopback
// down, no routes), so look-ups there can reach no server at all. Returns the
// child's exit code (fn's result), or -1 when the namespace cannot be made.
int RunInIsolatedNetwork(const std::function<int()>& fn);

// Why namespaces are unavailable here, or empty when they are.
std::string NamespaceSkipReason();

} // namespace testsupport
