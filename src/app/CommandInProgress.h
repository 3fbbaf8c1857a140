#pragma once

#include "app/TformVexmor.h"

#include <QPointer>

// A command that waits lets the window process events, so a click could start
// a second command on the same component or rewrite what the first one reads.
// For the guard's length every such control is closed (Stop stays open), and
// each is put back when the guard ends, however the command ends. A handler
// checks CommandRunning() first and returns at once when it holds.
class CommandInProgress final {
public:
    explicit CommandInProgress(TformVexmor& window) : window_(&window) { window.BeginWait(); }
    ~CommandInProgress()
    {
        if (window_)
            window_->EndWait();
    }
    CommandInProgress(const CommandInProgress&) = delete;
    CommandInProgress& operator=(const CommandInProgress&) = delete;

private:
    QPointer<TformVexmor> window_;
};
