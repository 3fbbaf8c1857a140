#pragma once

#include <string>

namespace testsupport {

// While it lives, the calling thread (only) reads /etc/hosts as text: the
// thread enters a private mount namespace with a file bound over /etc/hosts,
// and returns to its own namespace on destruction. Look-ups the thread makes
// itself see the names; worker threads do not. Needs root.
class PrivateHosts {
public:
    explicit PrivateHosts(const std::string& text);
    ~PrivateHosts();
    PrivateHosts(const PrivateHosts&) = delete;
    PrivateHosts& operator=(const PrivateHosts&) = delete;

    // Empty when the names are in place, else why not (a reason to skip).
    const std::string& Failure() const { return failure_; }

private:
    std::string failure_;
    std::string file_;
    int ownNamespace_ = -1;
    bool entered_ = false;
};

} // namespace testsupport
