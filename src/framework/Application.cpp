#include "framework/Application.h"
#include "framework/Ansi.h"

#include <QMessageBox>

namespace {
Application* theApplication = nullptr;
}

Application* App()
{
    return theApplication;
}

Application::Application(int& argc, char** argv)
    : QApplication(argc, argv)
{
    theApplication = this;
}

Application::~Application()
{
    theApplication = nullptr;
}

void Application::ShowException(const std::exception& e)
{
    // The program's own exceptions carry its 8-bit text; any other comes from
    // the C++ library (a system error's words) in the locale's encoding.
    const bool own = dynamic_cast<const Exception*>(&e) != nullptr;
    if (reporter_) {
        reporter_(Title, own ? std::string(e.what()) : AnsiFromSystem(FromSystem(e.what())));
        return;
    }
    QMessageBox::critical(activeWindow(), FromAnsi(Title), own ? FromAnsi(e.what()) : FromSystem(e.what()));
}

void Application::SetErrorReporter(ErrorReporter reporter)
{
    reporter_ = std::move(reporter);
}

void Application::RunHandler(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        if (App())
            App()->ShowException(e);
        else
            throw;
    }
}

void Application::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void Application::Terminate()
{
    terminated_ = true;
    QCoreApplication::quit();
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    // A handler that raises stops at that point; the user sees the message.
    try {
        return QApplication::notify(receiver, event);
    } catch (const Exception& e) {
        ShowException(e);
    } catch (const std::exception& e) {
        ShowException(e);
    }
    return false;
}
