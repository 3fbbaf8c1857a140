#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

class ECertificateError;
class QObject;
class T_FTP;
class THiResTimer;

// The keep-alive mode: an FTP login and logout at once, then again each time
// the timer falls due, on the timer's worker thread. That thread touches no
// widget: an attempt hands whatever it shows to the GUI thread (OnGuiThread),
// and a failure there is reported on the GUI thread too, since nothing may
// leave the worker. A refused certificate is offered for trust there, one box
// at a time; the worker never waits for the answer. One attempt runs at a
// time, whichever thread starts it.
class KeepAliveMode final {
public:
    // What the mode writes on the transcript, and the question whether to
    // trust a refused certificate (true: trusted and stored). All run on the
    // GUI thread.
    struct Voice {
        std::function<void(const std::string&)> line;
        std::function<void(const std::string&)> alert;
        std::function<bool(const ECertificateError&)> trust;
    };

    // attempt: one login and logout, on either thread. gui: the object whose
    // thread shows the attempts' work; what is handed to it after it is gone
    // is dropped.
    KeepAliveMode(QObject& gui, std::function<void()> attempt, Voice voice);
    ~KeepAliveMode();
    KeepAliveMode(const KeepAliveMode&) = delete;
    KeepAliveMode& operator=(const KeepAliveMode&) = delete;

    T_FTP& Ftp() { return *ftp_; }
    THiResTimer& Timer() { return *timer_; }

    // The mode is on (GUI thread only).
    bool On() const { return on_; }
    // An attempt is under way, on either thread.
    bool AttemptRunning() const { return running_; }

    // Turns the mode on and makes the first attempt at once, on this thread,
    // inside within (the window closes its commands meanwhile); then starts
    // the timer, even after a failed attempt: the mode shows as on, so it
    // keeps trying. Ended or begun anew while that attempt waited, the mode
    // keeps that ending: no timer, and no report of the attempt cut short.
    void Begin(const std::function<void(const std::function<void()>& attempt)>& within);
    // Turns the mode off: a running attempt ends and the timer stops.
    void End();
    // Stop: cuts an attempt under way short, else closes a connection an
    // attempt left behind. The mode goes on.
    void LogOut();
    // The window is going: no attempt starts again, and the timer's worker is
    // done with the window when this returns.
    void Shutdown();

    // Runs fn on the GUI thread: at once there, queued from the timer's worker.
    void OnGuiThread(std::function<void()> fn);

private:
    // One attempt at a time; false when one is already under way.
    bool RunAttempt();
    // certificate: the refused one, when that is why the attempt failed.
    void ReportFailure(const std::string& message, std::shared_ptr<const ECertificateError> certificate);
    // Ends a running attempt and switches the timer off.
    void StopTimer();

    QObject& gui_;
    std::function<void()> attempt_;
    Voice voice_;
    std::unique_ptr<T_FTP> ftp_;
    std::unique_ptr<THiResTimer> timer_; // after ftp_: its worker goes first
    std::atomic<bool> closed_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> onWorker_{false};
    std::atomic<bool> ending_{false};
    bool reportShowing_ = false;
    bool on_ = false;       // GUI thread only
    unsigned sessions_ = 0; // counts the mode's beginnings
};
