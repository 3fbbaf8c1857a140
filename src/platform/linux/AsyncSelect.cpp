#include "platform/linux/AsyncSelect.h"

#include <QMetaObject>
#include <QThread>

#include <cerrno>
#include <map>
#include <set>
#include <vector>
#include <mutex>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace winsock::detail {

namespace {

std::mutex registryMutex;
std::map<SOCKET, std::unique_ptr<Selection>>& Registry()
{
    static std::map<SOCKET, std::unique_ptr<Selection>> registry;
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
Selection::Role RoleOf(SOCKET s)
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

template <typename Fn>
void WithSelection(SOCKET s, Fn fn)
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

Selection::Selection(SOCKET s, MessageWindow* window, unsigned msg, long mask, Role role)
    : s_(s), window_(window), rawWindow_(window), msg_(msg), mask_(mask), role_(role)
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
        wantRead = readArmed_ && (mask_ & (FD_READ | FD_CLOSE));
        wantWrite = writeArmed_ && (mask_ & FD_WRITE);
        break;
    case Role::Listening:
        wantRead = acceptArmed_ && (mask_ & FD_ACCEPT);
        break;
    case Role::Datagram:
        wantRead = readArmed_ && (mask_ & FD_READ);
        wantWrite = writeArmed_ && (mask_ & FD_WRITE);
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
        window_->Post(msg_, WPARAM(s_), MAKELONG(unsigned(event), unsigned(error)));
}

void Selection::Readable()
{
    switch (role_) {
    case Role::Listening:
        acceptArmed_ = false;
        Post(FD_ACCEPT, 0);
        break;
    case Role::Datagram:
        readArmed_ = false;
        Post(FD_READ, 0);
        break;
    case Role::Connected: {
        // A peek tells data from an orderly close or a reset without taking anything.
        char c;
        const ssize_t n = ::recv(s_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) {
            readArmed_ = false;
            Post(FD_READ, 0);
        } else if (n == 0) {
            role_ = Role::Finished;
            Post(FD_CLOSE, 0);
        } else if (errno != EAGAIN && errno != EINTR) {
            role_ = Role::Finished;
            Post(FD_CLOSE, WinsockErrorFromErrno(errno));
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
            Post(FD_CONNECT, 0);
            writeArmed_ = false;
            Post(FD_WRITE, 0);
        } else {
            // A failed connect reports once and nothing more, as in Winsock.
            role_ = Role::Finished;
            Post(FD_CONNECT, WinsockErrorFromErrno(err));
        }
    } else if (role_ == Role::Connected || role_ == Role::Datagram) {
        writeArmed_ = false;
        Post(FD_WRITE, 0);
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
        Post(FD_CONNECT, WinsockErrorFromErrno(immediateErrno));
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

int Select(SOCKET s, MessageWindow* window, unsigned msg, long mask)
{
    if (mask != 0 && window && window->thread() != QThread::currentThread()) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    Forget(s);
    if (mask == 0)
        return 0;
    WatchWindow(window);
    auto sel = std::make_unique<Selection>(s, window, msg, mask, RoleOf(s));
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry()[s] = std::move(sel);
    return 0;
}

bool IsSelected(SOCKET s)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    return Registry().count(s) != 0;
}

void Forget(SOCKET s)
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

void NoteRecv(SOCKET s)
{
    WithSelection(s, [](Selection* sel) { sel->RecvCalled(); });
}

void NoteAccept(SOCKET s)
{
    WithSelection(s, [](Selection* sel) { sel->AcceptCalled(); });
}

void NoteSendBlocked(SOCKET s)
{
    WithSelection(s, [](Selection* sel) { sel->SendBlocked(); });
}

void NoteConnect(SOCKET s, int immediateErrno)
{
    WithSelection(s, [immediateErrno](Selection* sel) { sel->ConnectStarted(immediateErrno); });
}

void NoteListen(SOCKET s)
{
    WithSelection(s, [](Selection* sel) { sel->ListenStarted(); });
}

void WatchWindow(MessageWindow* window)
{
    static std::mutex watchedMutex;
    static std::set<const MessageWindow*> watched;
    if (!window)
        return;
    {
        std::lock_guard<std::mutex> lock(watchedMutex);
        if (!watched.insert(window).second)
            return;
    }
    // QObject::destroyed comes from ~QObject on the window's thread, before Qt
    // drops the events still queued for it; the pointer then serves only as a key.
    QObject::connect(window, &QObject::destroyed, [window] {
        {
            std::lock_guard<std::mutex> lock(watchedMutex);
            watched.erase(window);
        }
        WindowDestroyed(window);
    });
}

void WindowDestroyed(MessageWindow* window)
{
    std::vector<SOCKET> sockets;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        for (const auto& [s, sel] : Registry())
            if (sel->Window() == window)
                sockets.push_back(s);
    }
    for (SOCKET s : sockets)
        Forget(s);
    CancelLookupsFor(window);
}

} // namespace winsock::detail
