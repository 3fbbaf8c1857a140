#pragma once

#include <string>

namespace testsupport {

// The message of the E that fn raised, or "(nothing)": one line to compare.
template <typename E, typename Fn>
std::string Raised(Fn&& fn)
{
    try {
        fn();
    } catch (const E& e) {
        return e.Message;
    }
    return "(nothing)";
}

} // namespace testsupport
