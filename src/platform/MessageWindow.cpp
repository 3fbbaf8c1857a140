#include "platform/MessageWindow.h"

#include <QCoreApplication>
#include <QTimerEvent>

namespace {

const QEvent::Type MessageEventType = QEvent::Type(QEvent::registerEventType());

class MessageEvent : public QEvent {
public:
    explicit MessageEvent(const Message& m) : QEvent(MessageEventType), message(m) {}
    Message message;
};

} // namespace

MessageWindow::MessageWindow(Handler handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler))
{
}

MessageWindow::~MessageWindow()
{
    // Messages still queued for us are dropped by Qt with the object.
    QCoreApplication::removePostedEvents(this, MessageEventType);
}

void MessageWindow::Post(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    Message m;
    m.Msg = msg;
    m.WParam = wParam;
    m.LParam = lParam;
    // postEvent takes ownership of the event.
    QCoreApplication::postEvent(this, new MessageEvent(m));
}

LRESULT MessageWindow::Send(unsigned msg, WPARAM wParam, LPARAM lParam)
{
    Message m;
    m.Msg = msg;
    m.WParam = wParam;
    m.LParam = lParam;
    Dispatch(m);
    return m.Result;
}

unsigned MessageWindow::SetTimer(unsigned id, unsigned elapseMs)
{
    KillTimer(id);
    const int qtId = startTimer(int(elapseMs));
    if (qtId == 0)
        return 0;
    timers_[id] = qtId;
    return id;
}

bool MessageWindow::KillTimer(unsigned id)
{
    auto it = timers_.find(id);
    if (it == timers_.end())
        return false;
    killTimer(it->second);
    timers_.erase(it);
    return true;
}

void MessageWindow::customEvent(QEvent* event)
{
    if (event->type() != MessageEventType)
        return;
    Dispatch(static_cast<MessageEvent*>(event)->message);
}

void MessageWindow::timerEvent(QTimerEvent* event)
{
    for (const auto& [id, qtId] : timers_) {
        if (qtId == event->timerId()) {
            Message m;
            m.Msg = WM_TIMER;
            m.WParam = id;
            Dispatch(m);
            return;
        }
    }
}

void MessageWindow::Dispatch(Message& m)
{
    if (handler_)
        handler_(m);
}
