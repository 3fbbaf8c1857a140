#include "support/PrivateHosts.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testsupport {

PrivateHosts::PrivateHosts(const std::string& text)
{
    if (::geteuid() != 0) {
        failure_ = "needs root to bind a private /etc/hosts in a mount namespace";
        return;
    }
    char path[] = "/tmp/vexmor-hosts-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        failure_ = std::string("cannot write a hosts file: ") + std::strerror(errno);
        return;
    }
    file_ = path;
    const bool written = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::fchmod(fd, 0644);
    ::close(fd);
    ownNamespace_ = ::open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (!written || ownNamespace_ < 0) {
        failure_ = "cannot prepare the private hosts file";
        return;
    }
    // CLONE_NEWNS unshares this thread's file-system context too, so the
    // other threads keep the real /etc/hosts and this one can return.
    if (::unshare(CLONE_NEWNS) != 0) {
        failure_ = std::string("cannot make a mount namespace: ") + std::strerror(errno);
        return;
    }
    entered_ = true;
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(file_.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        failure_ = std::string("cannot bind a private /etc/hosts: ") + std::strerror(errno);
}

PrivateHosts::~PrivateHosts()
{
    // Leaving the namespace drops its mounts with it.
    if (entered_)
        ::setns(ownNamespace_, CLONE_NEWNS);
    if (ownNamespace_ >= 0)
        ::close(ownNamespace_);
    if (!file_.empty())
        ::unlink(file_.c_str());
}

} // namespace testsupport
