#include "platform/linux/AsyncSelect.h"
#include "platform/linux/HostEntry.h"

#include <QThreadPool>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct LookupTask {
    HANDLE_TASK id = 0;
    MessageWindow* window = nullptr;
    unsigned msg = 0;
    std::string name;
    char* buf = nullptr;
    int buflen = 0;
};

// Guards the task table, and the delivery of a result against its cancellation:
// once WSACancelAsyncRequest returns, the task neither writes nor posts.
std::mutex tasksMutex;
std::map<HANDLE_TASK, LookupTask>& Tasks()
{
    static std::map<HANDLE_TASK, LookupTask> tasks;
    return tasks;
}
std::atomic<HANDLE_TASK> nextTask{1};

void RunLookup(HANDLE_TASK id, std::string name)
{
    HostEntryData result;
    const int error = ResolveHostEntry(name, result);

    std::lock_guard<std::mutex> lock(tasksMutex);
    auto it = Tasks().find(id);
    if (it == Tasks().end())
        return; // cancelled
    LookupTask task = it->second;
    Tasks().erase(it);
    int replyError = error;
    int needed = 0;
    if (error == 0) {
        needed = PackHostEntry(result, task.buf, task.buflen);
        if (needed > task.buflen)
            replyError = WSAENOBUFS;
    }
    task.window->Post(task.msg, WPARAM(task.id), MAKELONG(unsigned(needed), unsigned(replyError)));
}

} // namespace

namespace winsock {

HANDLE_TASK WSAAsyncGetHostByName(MessageWindow* window, unsigned msg, const char* name,
                                  char* buf, int buflen)
{
    if (!detail::Started()) {
        WSASetLastError(WSANOTINITIALISED);
        return 0;
    }
    if (!window || !name || !buf || buflen <= 0) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    detail::WatchWindow(window);
    LookupTask task;
    task.id = nextTask++;
    task.window = window;
    task.msg = msg;
    task.name = name;
    task.buf = buf;
    task.buflen = buflen;
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        Tasks()[task.id] = task;
    }
    const HANDLE_TASK id = task.id;
    std::string lookupName = task.name;
    QThreadPool::globalInstance()->start([id, lookupName] { RunLookup(id, lookupName); });
    return id;
}

int WSACancelAsyncRequest(HANDLE_TASK task)
{
    std::lock_guard<std::mutex> lock(tasksMutex);
    if (Tasks().erase(task) == 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return 0;
}

} // namespace winsock

namespace winsock::detail {

void CancelLookupsFor(MessageWindow* window)
{
    std::lock_guard<std::mutex> lock(tasksMutex);
    for (auto it = Tasks().begin(); it != Tasks().end();) {
        if (it->second.window == window)
            it = Tasks().erase(it);
        else
            ++it;
    }
}

} // namespace winsock::detail
