#include "app/KeepAliveMode.h"
#include "desktop/HiResTim.h"
#include "framework/Ansi.h"
#include "framework/Application.h"
#include "sock/ECertificateError.h"
#include "tcpip/T_FTP.h"

#include <QMetaObject>
#include <QObject>

#include <chrono>
#include <thread>

namespace {

// The words for what an attempt raised, whatever it raised.
std::string FailureText()
{
    try {
        throw;
    } catch (const Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return AnsiFromSystem(FromSystem(e.what())); // the C++ library speaks the locale's encoding
    } catch (...) {
        return "The attempt ended with an unexpected error.";
    }
}

// The certificate refused, when that is what an attempt raised.
std::shared_ptr<const ECertificateError> RefusedCertificate()
{
    try {
        throw;
    } catch (const ECertificateError& e) {
        return std::make_shared<const ECertificateError>(e);
    } catch (...) {
        return nullptr;
    }
}

// Clears a flag when the scope ends, however it ends.
struct Lowered {
    std::atomic<bool>& flag;
    ~Lowered() { flag = false; }
};

} // namespace

KeepAliveMode::KeepAliveMode(QObject& gui, std::function<void()> attempt, Voice voice)
    : gui_(gui), attempt_(std::move(attempt)), voice_(std::move(voice)), ftp_(std::make_unique<T_FTP>()),
      timer_(std::make_unique<THiResTimer>())
{
    ftp_->Username = "anonymous";
    ftp_->Password = T_FTP::AnonymousPassword;
    ftp_->Async = true;
    timer_->Interval = 180000;
    timer_->OnTimer = [this](TObject*) { RunAttempt(); };
}

KeepAliveMode::~KeepAliveMode()
{
    Shutdown();
}

void KeepAliveMode::OnGuiThread(std::function<void()> fn)
{
    if (timer_->OnWorkerThread())
        QMetaObject::invokeMethod(&gui_, std::move(fn), Qt::QueuedConnection);
    else
        fn();
}

void KeepAliveMode::Begin(const std::function<void(const std::function<void()>&)>& within)
{
    on_ = true;
    const unsigned session = ++sessions_;
    std::string failure;
    std::shared_ptr<const ECertificateError> certificate;
    try {
        within([this] {
            if (!RunAttempt())
                voice_.line("A keep-alive attempt is already under way.");
        });
    } catch (...) {
        failure = FailureText();
        certificate = RefusedCertificate();
    }
    if (!on_ || session != sessions_ || closed_) {
        if (!failure.empty() && !closed_)
            voice_.line(" ...cut short: VexmorAlive! ended.");
        return;
    }
    timer_->SetEnabled(true);
    if (!failure.empty())
        ReportFailure(failure, certificate);
}

bool KeepAliveMode::RunAttempt()
{
    if (closed_ || ending_ || running_.exchange(true))
        return false;
    Lowered done{running_};
    if (!timer_->OnWorkerThread()) {
        attempt_(); // on the GUI thread the caller reports what it raises
        return true;
    }
    onWorker_ = true;
    Lowered offWorker{onWorker_};
    try {
        attempt_();
    } catch (...) {
        const std::string message = FailureText();
        if (ending_ || closed_)
            return true; // cut short because the mode is ending: nothing to report
        OnGuiThread([this, message, certificate = RefusedCertificate()] { ReportFailure(message, certificate); });
    }
    return true;
}

void KeepAliveMode::ReportFailure(const std::string& message, std::shared_ptr<const ECertificateError> certificate)
{
    voice_.alert("VexmorAlive!: " + message);
    // One open box at a time, report or trust question: an unattended window
    // does not pile them up, and a failure while one is open stays a line.
    // A report that arrives after the mode ended stays a line too: no box pops
    // up over a window the user has taken back.
    if (reportShowing_ || !on_ || !App())
        return;
    reportShowing_ = true;
    struct Shown {
        bool& flag;
        ~Shown() { flag = false; }
    } shown{reportShowing_};
    if (!certificate || !voice_.trust) {
        App()->ShowException(Exception(message));
        return;
    }
    try {
        // The attempts read the trusted certificates anew each time.
        if (voice_.trust(*certificate))
            voice_.line(" ...certificate trusted; the next attempt uses it.");
    } catch (const std::exception& e) {
        App()->ShowException(e);
    }
}

void KeepAliveMode::StopTimer()
{
    // An attempt under way ends at its next wait slice; the timer's worker is
    // then free to be joined. One on this thread ends when control returns to it.
    ending_ = true;
    ftp_->Cancel();
    while (onWorker_ && timer_->Enabled()) {
        ftp_->Cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    timer_->SetEnabled(false);
    ending_ = false;
}

void KeepAliveMode::End()
{
    on_ = false;
    StopTimer();
}

void KeepAliveMode::LogOut()
{
    if (running_.exchange(true)) {
        ftp_->Cancel();
        return;
    }
    Lowered done{running_};
    try {
        if (ftp_->LoggedIn)
            ftp_->Logout();
    } catch (const ETcpIpError&) {
        // The connection is closed either way, and Stop is no time for errors.
    }
}

void KeepAliveMode::Shutdown()
{
    closed_ = true;
    StopTimer();
}
