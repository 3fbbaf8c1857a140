#pragma once

#include "framework/Component.h"
#include "framework/Exception.h"
#include "platform/MessageWindow.h"

#include <QIcon>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;
class QWidget;

class EOutOfResources final : public Exception {
public:
    using Exception::Exception;
};

// Minimising the application window minimises it to the notification area:
// the window leaves the taskbar and an icon with a tip stands in its place;
// clicks on the icon raise events and a right click opens PopupMenu. Where the
// desktop has no notification area, minimising keeps the taskbar entry, so
// the window can always be reached.
class TTrayIcon final : public QObject, public TComponent {
    Q_OBJECT
public:
    static constexpr unsigned WM_TRAYNOTIFY = WM_USER + 1;
    static constexpr LPARAM WM_LBUTTONUP = 514;
    static constexpr LPARAM WM_LBUTTONDBLCLK = 515;
    static constexpr LPARAM WM_RBUTTONUP = 517;
    static constexpr size_t MaxTip = 63;

    // application: the window whose minimise and restore the icon takes over.
    explicit TTrayIcon(QWidget* application);
    ~TTrayIcon() override;

    bool Active() const { return active_; }
    void SetActive(bool value);
    const std::string& Hint() const { return hint_; }
    void SetHint(const std::string& value);
    const QIcon& Icon() const { return icon_; }
    void SetIcon(const QIcon& value);
    bool SeparateIcon() const { return separateIcon_; }
    void SetSeparateIcon(bool value);
    QPointer<QMenu> PopupMenu;

    std::function<void(TObject* Sender)> OnClick;
    std::function<void(TObject* Sender)> OnDblClick;
    std::function<void(TObject* Sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y)>
        OnRightClick;
    std::function<void(TObject* Sender)> OnMinimize;
    std::function<void(TObject* Sender)> OnRestore;

    void ShowIcon();
    void HideIcon();
    void UpdateIcon();
    // The application's own minimise and restore.
    void Minimize();
    void Restore();

    bool ShellSupported() const { return shellSupported_; }
    bool IsMinimized() const { return isMinimized_; }
    bool NeedsAdd() const { return needsAdd_; }
    // The tip as the notification area shows it; empty when none is set.
    std::string Tip() const;
    // The icon is in the notification area now.
    bool IconShown() const;
    // The hidden window the icon's clicks arrive at, as the callback message.
    MessageWindow* Window() const { return window_.get(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void WndProc(Message& m);
    void ApplyShownRule();
    void ApplicationMinimized();
    void ApplicationRestored();
    void SetTip(const std::string& text);

    QPointer<QWidget> application_;
    std::unique_ptr<MessageWindow> window_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    bool active_ = false;
    std::string hint_;
    QIcon icon_;
    bool separateIcon_ = false;
    bool shellSupported_ = false;
    bool isMinimized_ = false;
    bool needsAdd_ = true;
    std::string tip_;
    bool tipFlag_ = false;
};
