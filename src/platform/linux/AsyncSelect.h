#pragma once

// Internal to the socket layer: the registrations made by WSAAsyncSelect and the
// hooks through which the socket calls re-arm them, as Winsock does.

#include "platform/winsock.h"

#include <QObject>
#include <QPointer>
#include <QSocketNotifier>

#include <memory>

namespace winsock::detail {

class Selection final : public QObject {
    Q_OBJECT
public:
    enum class Role { Idle, Connecting, Connected, Listening, Datagram, Finished };

    Selection(SOCKET s, MessageWindow* window, unsigned msg, long mask, Role role);

    void RecvCalled();
    void AcceptCalled();
    void SendBlocked();
    void ConnectStarted(int immediateErrno);
    void ListenStarted();
    const MessageWindow* Window() const { return rawWindow_; }

private:
    void Update();
    void Readable();
    void Writable();
    void Post(long event, int error);

    SOCKET s_;
    QPointer<MessageWindow> window_;
    const MessageWindow* rawWindow_; // identity only, never dereferenced
    unsigned msg_;
    long mask_;
    Role role_;
    bool readArmed_ = true;
    bool writeArmed_ = true;
    bool acceptArmed_ = true;
    std::unique_ptr<QSocketNotifier> reader_;
    std::unique_ptr<QSocketNotifier> writer_;
};

bool Started();

int Select(SOCKET s, MessageWindow* window, unsigned msg, long mask);
bool IsSelected(SOCKET s);
void Forget(SOCKET s);

// Each runs the named step on the socket's registration, if it has one.
void NoteRecv(SOCKET s);
void NoteAccept(SOCKET s);
void NoteSendBlocked(SOCKET s);
void NoteConnect(SOCKET s, int immediateErrno);
void NoteListen(SOCKET s);

// A window going away takes its registrations and pending look-ups with it:
// the layer watches each window it posts to for its destruction.
void WatchWindow(MessageWindow* window);
void WindowDestroyed(MessageWindow* window);
void CancelLookupsFor(MessageWindow* window);

} // namespace winsock::detail
