#pragma once

#include <QApplication>
#include <QPointer>
#include <QToolButton>

// Commands that leave the command buttons as they are still need Stop to reach
// them while they wait for a server: it is enabled for the command's length.
class StopReaches final {
public:
    explicit StopReaches(QToolButton* stop) : stop_(stop), was_(stop->isEnabled())
    {
        stop_->setEnabled(true);
        QApplication::setOverrideCursor(Qt::BusyCursor); // working, and still painting
    }
    ~StopReaches()
    {
        QApplication::restoreOverrideCursor();
        if (stop_)
            stop_->setEnabled(was_);
    }
    StopReaches(const StopReaches&) = delete;
    StopReaches& operator=(const StopReaches&) = delete;

private:
    QPointer<QToolButton> stop_;
    bool was_;
};
