#pragma once

#include <QProcess>

#include <string>

namespace testsupport {

// Xvfb on a display number it picks itself, and trayer (an XEmbed system
// tray) on it. DISPLAY points there while the object lives.
class TrayDisplay {
public:
    explicit TrayDisplay(bool start);
    ~TrayDisplay();
    TrayDisplay(const TrayDisplay&) = delete;
    TrayDisplay& operator=(const TrayDisplay&) = delete;

    // Why there is no tray to test with; empty when there is one.
    const std::string& Problem() const { return problem_; }
    // Waits (with the application running) until the tray has been found.
    void WaitForTray();

    static TrayDisplay* Current;

private:
    void StartServer();

    int serverPid_ = -1;
    QProcess trayer_;
    std::string problem_;
};

} // namespace testsupport
