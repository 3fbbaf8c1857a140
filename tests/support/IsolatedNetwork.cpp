#include "support/IsolatedNetwork.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

std::string NamespaceSkipReason()
{
    if (::geteuid() != 0)
        return "needs root to create a network namespace";
    return {};
}

int RunInIsolatedNetwork(const std::function<int()>& fn)
{
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (::unshare(CLONE_NEWNET) != 0)
            ::_exit(255);
        ::_exit(fn());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 255)
        return -1;
    return WEXITSTATUS(status);
}

} // namespace testsupport
