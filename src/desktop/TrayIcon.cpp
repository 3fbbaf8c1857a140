#include "desktop/TrayIcon.h"
#include "framework/Ansi.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

TTrayIcon::TTrayIcon(QWidget* application)
    : application_(application), window_(std::make_unique<MessageWindow>([this](Message& m) { WndProc(m); })),
      tray_(std::make_unique<QSystemTrayIcon>())
{
    icon_ = QApplication::windowIcon();
    // An X11 desktop has a notification area while a tray (an XEmbed system
    // tray or a StatusNotifier host) runs.
    shellSupported_ = QSystemTrayIcon::isSystemTrayAvailable();
    needsAdd_ = true;
    tray_->setIcon(icon_);
    const std::string title = QApplication::applicationName().toStdString();
    SetTip(title);
    // Each click becomes the callback message, as the shell would send it.
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        switch (reason) {
        case QSystemTrayIcon::Trigger: window_->Post(WM_TRAYNOTIFY, 0, WM_LBUTTONUP); break;
        case QSystemTrayIcon::DoubleClick: window_->Post(WM_TRAYNOTIFY, 0, WM_LBUTTONDBLCLK); break;
        case QSystemTrayIcon::Context: window_->Post(WM_TRAYNOTIFY, 0, WM_RBUTTONUP); break;
        default: break;
        }
    });
    if (application_) {
        application_->installEventFilter(this);
        isMinimized_ = application_->isMinimized();
    }
    if (active_ && isMinimized_)
        ShowIcon();
}

TTrayIcon::~TTrayIcon()
{
    if (application_)
        application_->removeEventFilter(this);
    if (active_)
        HideIcon();
}

void TTrayIcon::SetTip(const std::string& text)
{
    tipFlag_ = !text.empty();
    tip_ = text.substr(0, MaxTip);
    tray_->setToolTip(tipFlag_ ? FromAnsi(tip_) : QString());
}

std::string TTrayIcon::Tip() const
{
    return tipFlag_ ? tip_ : std::string();
}

bool TTrayIcon::IconShown() const
{
    return tray_->isVisible();
}

void TTrayIcon::SetActive(bool value)
{
    active_ = value;
    ApplyShownRule();
}

void TTrayIcon::ApplyShownRule()
{
    if (isMinimized_ || separateIcon_)
        ShowIcon();
    else
        HideIcon();
}

void TTrayIcon::SetHint(const std::string& value)
{
    if (value == hint_)
        return;
    hint_ = value;
    SetTip(value);
    UpdateIcon();
}

void TTrayIcon::SetIcon(const QIcon& value)
{
    if (value.cacheKey() == icon_.cacheKey())
        return;
    icon_ = value;
    UpdateIcon();
}

void TTrayIcon::SetSeparateIcon(bool value)
{
    separateIcon_ = value;
    if (value) {
        if (active_)
            ShowIcon();
    } else if (active_ && !isMinimized_) {
        HideIcon();
    }
}

void TTrayIcon::ShowIcon()
{
    if (!active_ || !shellSupported_ || !needsAdd_)
        return;
    tray_->setIcon(icon_);
    tray_->show();
    if (!tray_->isVisible())
        throw EOutOfResources("Cannot create shell notification icon");
    needsAdd_ = false;
}

void TTrayIcon::HideIcon()
{
    if (shellSupported_)
        tray_->hide();
    needsAdd_ = true;
}

void TTrayIcon::UpdateIcon()
{
    if (active_ && shellSupported_)
        tray_->setIcon(icon_);
}

void TTrayIcon::Minimize()
{
    // Already minimised (by hand, say): it stays where it went. Iconifying a
    // window hidden in the notification area would bring it back half-way.
    if (!application_ || isMinimized_)
        return;
    // Into the notification area directly: hiding takes the taskbar entry
    // away whether or not a window manager iconifies windows.
    if (active_ && shellSupported_)
        ApplicationMinimized();
    else
        application_->showMinimized();
}

void TTrayIcon::Restore()
{
    if (!application_)
        return;
    application_->showNormal();
    application_->raise();
    application_->activateWindow();
    if (isMinimized_) // hidden rather than iconified: no state change told us
        ApplicationRestored();
}

bool TTrayIcon::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == application_ && event->type() == QEvent::WindowStateChange) {
        const bool minimized = application_->isMinimized();
        if (minimized && !isMinimized_)
            ApplicationMinimized();
        else if (!minimized && isMinimized_)
            ApplicationRestored();
    } else if (watched == application_ && event->type() == QEvent::Show && isMinimized_ &&
               !application_->isMinimized()) {
        // Shown from the notification area without a state change: restored all the same.
        ApplicationRestored();
    }
    return QObject::eventFilter(watched, event);
}

void TTrayIcon::ApplicationMinimized()
{
    if (active_ && shellSupported_) {
        // The taskbar entry goes only where the icon can stand in for it.
        // While the window is hidden, a message box closing is not the last
        // window closing: the program lives on in the notification area.
        QApplication::setQuitOnLastWindowClosed(false);
        application_->hide();
        if (needsAdd_)
            ShowIcon();
    }
    isMinimized_ = true;
    if (OnMinimize)
        OnMinimize(this);
}

void TTrayIcon::ApplicationRestored()
{
    // First: showing the window below, and OnRestore, may bring us back here.
    isMinimized_ = false;
    if (active_) {
        if (!application_->isVisible())
            application_->show();
        QApplication::setQuitOnLastWindowClosed(true);
        if (!separateIcon_)
            HideIcon();
    }
    if (OnRestore)
        OnRestore(this);
}

void TTrayIcon::WndProc(Message& m)
{
    if (m.Msg != WM_TRAYNOTIFY)
        return;
    switch (m.LParam) {
    case WM_LBUTTONUP:
        if (OnClick)
            OnClick(this);
        break;
    case WM_LBUTTONDBLCLK:
        if (OnDblClick)
            OnDblClick(this);
        break;
    case WM_RBUTTONUP: {
        const QPoint at = QCursor::pos();
        if (PopupMenu && (!application_ || !application_->isVisible() || application_->isMinimized() || separateIcon_))
            PopupMenu->popup(at);
        if (OnRightClick)
            OnRightClick(this, Qt::RightButton, Qt::NoModifier, at.x(), at.y());
        break;
    }
    default:
        break;
    }
}
