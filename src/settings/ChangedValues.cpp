#include "settings/ChangedValues.h"
#include "framework/Exception.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"

namespace {

struct Pending {
    std::string name, value;
    bool unlessStored;
};

} // namespace

void ChangedValues::Write(TRegistry1632& settings, const std::vector<Now>& now, const std::function<void()>& more) const
{
    std::vector<Pending> writes;
    for (const Now& v : now) {
        const auto shown = showing_.find(v.name);
        const bool changed = shown == showing_.end() || v.shown != shown->second.text;
        if (changed || !shown->second.stored)
            writes.push_back({v.name, v.storedForm(), !changed});
    }

    RegistryTransaction transaction;
    if (transaction.Began() != ERROR_SUCCESS)
        throw Exception("The settings were not saved. " + RegistryLastFailure());
    // Creates the key where start-up could not.
    EnsureConfigurationKeys();
    for (const Pending& w : writes) {
        if (w.unlessStored && settings.HasKeyLM(ConfigPath, w.name))
            continue;
        settings.WriteKeyLM(ConfigPath, w.name, w.value);
        if (settings.ErrorOccurred())
            throw Exception("The settings were not saved: " + settings.ErrorMessage() + ". " + RegistryLastFailure());
    }
    if (more)
        more();
    if (transaction.Commit() != ERROR_SUCCESS)
        throw Exception("The settings were not saved. " + RegistryLastFailure());
}
