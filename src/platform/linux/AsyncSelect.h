#pragma once

// Readiness notices for a socket with Winsock's one-shot rules, on the
// kernel's level-triggered readiness: a QSocketNotifier pair on the window's
// thread, enabled only while a notice may follow, TCP_INFO for the state of a
// socket handed over mid-life, and a peeking read to tell data from a close.

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace winsock::detail {

// The events, with the bit values of Winsock's FD_ constants, so a mask
// passes through as it is.
enum : long {
    EventRead = 0x01,
    EventWrite = 0x02,
    EventAccept = 0x08,
    EventConnect = 0x10,
    EventClose = 0x20,
};

// Tells the owner of a registration about one event; error is the errno it
// came with (0 for none). Called on the window's thread, while the window lives.
using Notify = std::function<void(long event, int error)>;

class Selection final : public QObject {
    Q_OBJECT
public:
    enum class Role { Idle, Connecting, Connected, Listening, Datagram, Finished };

    Selection(int s, QObject* window, long mask, Role role, Notify notify);

    void RecvCalled();
    void AcceptCalled();
    void SendBlocked();
    void ConnectStarted(int immediateErrno);
    void ListenStarted();
    const QObject* Window() const { return rawWindow_; }

private:
    void Update();
    void Readable();
    void Writable();
    void Post(long event, int error);

    int s_;
    QPointer<QObject> window_;
    const QObject* rawWindow_; // identity only, never dereferenced
    long mask_;
    Role role_;
    Notify notify_;
    bool readArmed_ = true;
    bool writeArmed_ = true;
    bool acceptArmed_ = true;
    std::unique_ptr<QSocketNotifier> reader_;
    std::unique_ptr<QSocketNotifier> writer_;
};

// Registers s for the events in mask, replacing an earlier registration (mask
// 0 only cancels). Call it on the window's thread: the notifiers live there.
// The window going away takes its registrations with it.
void Select(int s, QObject* window, long mask, Notify notify);
bool IsSelected(int s);
void Forget(int s);

// Each runs the named step on the socket's registration, if it has one.
void NoteRecv(int s);
void NoteAccept(int s);
void NoteSendBlocked(int s);
void NoteConnect(int s, int immediateErrno);
void NoteListen(int s);

} // namespace winsock::detail
