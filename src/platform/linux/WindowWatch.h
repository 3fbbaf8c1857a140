#pragma once

// Runs an action once when a watched window is destroyed. QObject::destroyed
// comes from ~QObject on the window's thread, before Qt drops the events still
// queued for it; the pointer then serves only as a key.

#include <QObject>

#include <functional>
#include <mutex>
#include <set>

namespace winsock::detail {

class WindowWatch final {
public:
    using Gone = std::function<void(const QObject* window)>;

    explicit WindowWatch(Gone gone) : gone_(std::move(gone)) {}

    // Watching a window twice costs nothing.
    void Watch(QObject* window)
    {
        if (!window)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!watched_.insert(window).second)
                return;
        }
        QObject::connect(window, &QObject::destroyed, [this, window] {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                watched_.erase(window);
            }
            gone_(window);
        });
    }

private:
    Gone gone_;
    std::mutex mutex_;
    std::set<const QObject*> watched_;
};

} // namespace winsock::detail
