#pragma once

#include "framework/Exception.h"

#include <QApplication>

#include <functional>
#include <string>

// The program's application object: title, help file, the top-level error
// report for exceptions that escape a handler, and message processing.
class Application final : public QApplication {
    Q_OBJECT
public:
    using ErrorReporter = std::function<void(const std::string& title, const std::string& message)>;

    Application(int& argc, char** argv);
    ~Application() override;

    std::string Title;
    std::string HelpFile;

    // Shows the exception's message the way an unhandled one is shown.
    void ShowException(const std::exception& e);
    // Tests replace the message box with their own reporter; an empty one restores it.
    void SetErrorReporter(ErrorReporter reporter);

    // Runs an event handler; what it raises is reported here, so no exception
    // ever travels through the toolkit's event delivery.
    static void RunHandler(const std::function<void()>& handler);

    static void ProcessMessages();
    void Terminate();
    bool Terminated() const { return terminated_; }

    bool notify(QObject* receiver, QEvent* event) override;

private:
    ErrorReporter reporter_;
    bool terminated_ = false;
};

// The one application object of the process; null before it is created.
Application* App();
