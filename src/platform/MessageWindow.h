#pragma once

// Window messages and timers on Qt's event loop: a posted message is an event
// queued for the thread the window lives on, a timer one of QObject's. The
// loop's poll is all of the kernel this relies on.

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <functional>
#include <map>

constexpr unsigned WM_QUERYENDSESSION = 0x11;
constexpr unsigned WM_TIMER = 0x113;
constexpr unsigned WM_USER = 0x400;

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;

inline LPARAM MAKELONG(unsigned low, unsigned high)
{
    return LPARAM(uint32_t((low & 0xFFFFu) | ((high & 0xFFFFu) << 16)));
}
inline unsigned LOWORD(LPARAM v) { return unsigned(uint32_t(v) & 0xFFFFu); }
inline unsigned HIWORD(LPARAM v) { return unsigned((uint32_t(v) >> 16) & 0xFFFFu); }

struct Message {
    unsigned Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    LRESULT Result = 0;
};

// A hidden window that receives posted messages and timer ticks on the thread it
// lives on. Its owner installs the handler, the component's window procedure.
class MessageWindow final : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(Message&)>;

    explicit MessageWindow(Handler handler = {}, QObject* parent = nullptr);
    ~MessageWindow() override;

    void SetHandler(Handler handler) { handler_ = std::move(handler); }

    // Queued delivery on the window's thread; safe to call from any thread.
    void Post(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);
    // Immediate delivery on the calling thread; returns the handler's result.
    LRESULT Send(unsigned msg, WPARAM wParam = 0, LPARAM lParam = 0);

    // Periodic WM_TIMER with wParam = id; a second call with the same id restarts it.
    // Returns id, or 0 when the timer cannot be started.
    unsigned SetTimer(unsigned id, unsigned elapseMs);
    bool KillTimer(unsigned id);

protected:
    void customEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void Dispatch(Message& m);

    Handler handler_;
    std::map<unsigned, int> timers_; // our id -> Qt timer id
};

// Free-function spellings used by the protocol code.
inline bool PostMessage(MessageWindow* w, unsigned msg, WPARAM wParam, LPARAM lParam)
{
    if (!w)
        return false;
    w->Post(msg, wParam, lParam);
    return true;
}
inline unsigned SetTimer(MessageWindow* w, unsigned id, unsigned elapseMs)
{
    return w ? w->SetTimer(id, elapseMs) : 0;
}
inline bool KillTimer(MessageWindow* w, unsigned id)
{
    return w && w->KillTimer(id);
}
