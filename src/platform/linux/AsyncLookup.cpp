#include "platform/linux/AsyncLookup.h"
#include "platform/linux/WindowWatch.h"

#include <QThreadPool>

#include <atomic>
#include <map>
#include <mutex>

namespace winsock::detail {

namespace {

struct LookupTask {
    const QObject* window = nullptr;
    LookupDelivery deliver;
    AddressDelivery deliverAddresses;
};

// Guards the task table, and the delivery of a result against its cancellation.
std::mutex tasksMutex;
std::map<LookupId, LookupTask>& Tasks()
{
    static std::map<LookupId, LookupTask> tasks;
    return tasks;
}
std::atomic<LookupId> nextTask{1};

// A window going away takes its pending look-ups with it.
void CancelLookupsFor(const QObject* window)
{
    std::lock_guard<std::mutex> lock(tasksMutex);
    for (auto it = Tasks().begin(); it != Tasks().end();) {
        if (it->second.window == window)
            it = Tasks().erase(it);
        else
            ++it;
    }
}

WindowWatch& Windows()
{
    static WindowWatch watch(CancelLookupsFor);
    return watch;
}

// Under the lock: the task's delivery, or nothing when it was cancelled.
template <typename Delivery>
void Deliver(LookupId id, Delivery LookupTask::*which, const std::function<void(const Delivery&)>& call)
{
    std::lock_guard<std::mutex> lock(tasksMutex);
    auto it = Tasks().find(id);
    if (it == Tasks().end())
        return; // cancelled
    const Delivery deliver = std::move(it->second.*which);
    Tasks().erase(it);
    call(deliver);
}

void RunLookup(LookupId id, const std::string& name)
{
    HostEntryData result;
    const ResolverResult resolved = ResolveHostEntry(name, result);
    Deliver<LookupDelivery>(id, &LookupTask::deliver,
                            [&](const LookupDelivery& deliver) { deliver(id, result, resolved); });
}

void RunAddressLookup(LookupId id, const std::string& name, int family)
{
    std::vector<sockaddr_storage> result;
    const ResolverResult resolved = ResolveAddressList(name, family, result);
    Deliver<AddressDelivery>(id, &LookupTask::deliverAddresses,
                             [&](const AddressDelivery& deliver) { deliver(id, result, resolved); });
}

} // namespace

LookupId StartLookup(QObject* window, const std::string& name, LookupDelivery deliver)
{
    Windows().Watch(window);
    const LookupId id = nextTask++;
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        Tasks()[id] = LookupTask{window, std::move(deliver), {}};
    }
    QThreadPool::globalInstance()->start([id, name] { RunLookup(id, name); });
    return id;
}

LookupId StartAddressLookup(QObject* window, const std::string& name, int family, AddressDelivery deliver)
{
    Windows().Watch(window);
    const LookupId id = nextTask++;
    {
        std::lock_guard<std::mutex> lock(tasksMutex);
        Tasks()[id] = LookupTask{window, {}, std::move(deliver)};
    }
    QThreadPool::globalInstance()->start([id, name, family] { RunAddressLookup(id, name, family); });
    return id;
}

bool CancelLookup(LookupId id)
{
    std::lock_guard<std::mutex> lock(tasksMutex);
    return Tasks().erase(id) != 0;
}

} // namespace winsock::detail
