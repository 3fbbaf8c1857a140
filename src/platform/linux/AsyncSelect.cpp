#include "platform/linux/AsyncSelect.h"
#include "platform/linux/WindowWatch.h"

#include <QMetaObject>
#include <QThread>

#include <cerrno>
#include <map>
#include <vector>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace winsock::detail {

namespace {

std::mutex registryMutex;
std::map<int, std::unique_ptr<Selection>>& Registry()
{
    static std::map<int, std::unique_ptr<Selection>> registry;
    return registry;
}

// Runs fn on obj's thread and waits for it: notifiers may only be touched there.
template <typename Fn>
void RunOn(QObject* obj, Fn fn)
{
    if (obj->thread() == QThread::currentThread())
        fn();
    else
        QMetaObject::invokeMethod(obj, fn, Qt::BlockingQueuedConnection);
}

// The kernel's TCP state tells whether a socket we are handed mid-life is
// listening, connecting or connected.
Selection::Role RoleOf(int s)
{
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type != SOCK_STREAM)
        return Selection::Role::Datagram;
    tcp_info info{};
    len = sizeof info;
    if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return Selection::Role::Idle;
    switch (info.tcpi_state) {
    case TCP_LISTEN: return Selection::Role::Listening;
    case TCP_SYN_SENT: return Selection::Role::Connecting;
    case TCP_ESTABLISHED:
    case TCP_CLOSE_WAIT: return Selection::Role::Connected;
    default: return Selection::Role::Idle;
    }
}

// A window going away takes its registrations with it.
void WindowDestroyed(const QObject* window)
{
    std::vector<int> sockets;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (const auto& [s, sel] : Registry())
            if (sel->Window() == window)
                sockets.push_back(s);
    }
    for (int s : sockets)
        Forget(s);
}

WindowWatch& Windows()
{
    static WindowWatch watch(WindowDestroyed);
    return watch;
}

template <typename Fn>
void WithSelection(int s, Fn fn)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = Registry().find(s);
    if (it == Registry().end())
        return;
    Selection* sel = it->second.get();
    if (sel->thread() == QThread::currentThread())
        fn(sel);
    else
        QMetaObject::invokeMethod(sel, [sel, fn] { fn(sel); }, Qt::QueuedConnection);
}

} // namespace

Selection::Selection(int s, QObject* window, long mask, Role role, Notify notify)
    : s_(s), window_(window), rawWindow_(window), mask_(mask), role_(role), notify_(std::move(notify))
{
    reader_ = std::make_unique<QSocketNotifier>(s, QSocketNotifier::Read);
    writer_ = std::make_unique<QSocketNotifier>(s, QSocketNotifier::Write);
    connect(reader_.get(), &QSocketNotifier::activated, this, &Selection::Readable);
    connect(writer_.get(), &QSocketNotifier::activated, this, &Selection::Writable);
    Update();
}

// Notifiers are enabled only while an event may be posted, so a socket that
// waits for the application costs no CPU (the notifiers are level-triggered).
void Selection::Update()
{
    bool wantRead = false;
    bool wantWrite = false;
    switch (role_) {
    case Role::Connecting:
        wantWrite = true;
        break;
    case Role::Connected:
        wantRead = readArmed_ && (mask_ & (EventRead | EventClose));
        wantWrite = writeArmed_ && (mask_ & EventWrite);
        break;
    case Role::Listening:
        wantRead = acceptArmed_ && (mask_ & EventAccept);
        break;
    case Role::Datagram:
        wantRead = readArmed_ && (mask_ & EventRead);
        wantWrite = writeArmed_ && (mask_ & EventWrite);
        break;
    case Role::Idle:
    case Role::Finished:
        break;
    }
    reader_->setEnabled(wantRead);
    writer_->setEnabled(wantWrite);
}

void Selection::Post(long event, int error)
{
    if ((mask_ & event) && window_)
        notify_(event, error);
}

void Selection::Readable()
{
    switch (role_) {
    case Role::Listening:
        acceptArmed_ = false;
        Post(EventAccept, 0);
        break;
    case Role::Datagram:
        readArmed_ = false;
        Post(EventRead, 0);
        break;
    case Role::Connected: {
        // A peek tells data from an orderly close or a reset without taking anything.
        char c;
        const ssize_t n = ::recv(s_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            readArmed_ = false;
            Post(EventRead, 0);
        } else if (n == 0) {
            role_ = Role::Finished;
            Post(EventClose, 0);
        } else if (errno != EAGAIN && errno != EINTR) {
            role_ = Role::Finished;
            Post(EventClose, errno);
        }
        break;
    }
    default:
        break;
    }
    Update();
}

void Selection::Writable()
{
    if (role_ == Role::Connecting) {
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(s_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) {
            role_ = Role::Connected;
            Post(EventConnect, 0);
            writeArmed_ = false;
            Post(EventWrite, 0);
        } else {
            // A failed connect reports once and nothing more, as in Winsock.
            role_ = Role::Finished;
            Post(EventConnect, err);
        }
    } else if (role_ == Role::Connected || role_ == Role::Datagram) {
        writeArmed_ = false;
        Post(EventWrite, 0);
    }
    Update();
}

void Selection::RecvCalled()
{
    readArmed_ = true;
    Update();
}

void Selection::AcceptCalled()
{
    acceptArmed_ = true;
    Update();
}

void Selection::SendBlocked()
{
    writeArmed_ = true;
    Update();
}

void Selection::ConnectStarted(int immediateErrno)
{
    if (immediateErrno != 0 && immediateErrno != EINPROGRESS && immediateErrno != EINTR) {
        role_ = Role::Finished;
        Post(EventConnect, immediateErrno);
    } else {
        role_ = Role::Connecting;
        writeArmed_ = true;
    }
    Update();
}

void Selection::ListenStarted()
{
    role_ = Role::Listening;
    acceptArmed_ = true;
    Update();
}

void Select(int s, QObject* window, long mask, Notify notify)
{
    Forget(s);
    if (mask == 0)
        return;
    Windows().Watch(window);
    auto sel = std::make_unique<Selection>(s, window, mask, RoleOf(s), std::move(notify));
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry()[s] = std::move(sel);
}

bool IsSelected(int s)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    return Registry().count(s) != 0;
}

void Forget(int s)
{
    std::unique_ptr<Selection> sel;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto it = Registry().find(s);
        if (it == Registry().end())
            return;
        sel = std::move(it->second);
        Registry().erase(it);
    }
    Selection* raw = sel.get();
    RunOn(raw, [&sel] { sel.reset(); });
}

void NoteRecv(int s)
{
    WithSelection(s, [](Selection* sel) { sel->RecvCalled(); });
}

void NoteAccept(int s)
{
    WithSelection(s, [](Selection* sel) { sel->AcceptCalled(); });
}

void NoteSendBlocked(int s)
{
    WithSelection(s, [](Selection* sel) { sel->SendBlocked(); });
}

void NoteConnect(int s, int immediateErrno)
{
    WithSelection(s, [immediateErrno](Selection* sel) { sel->ConnectStarted(immediateErrno); });
}

void NoteListen(int s)
{
    WithSelection(s, [](Selection* sel) { sel->ListenStarted(); });
}

} // namespace winsock::detail
