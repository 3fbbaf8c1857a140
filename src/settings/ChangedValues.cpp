#include "settings/ChangedValues.h"
#include "framework/Exception.h"
#include "platform/registry.h"
#include "settings/ConfigKeys.h"

void WriteChangedValues(TRegistry1632& settings, const std::vector<ChangedValue>& values)
{
    EnsureConfigurationKeys();
    for (const ChangedValue& v : values) {
        if (v.unlessStored && settings.HasKeyLM(ConfigPath, v.name))
            continue;
        settings.WriteKeyLM(ConfigPath, v.name, v.value);
        if (settings.ErrorOccurred())
            throw Exception("The settings were not saved: " + settings.ErrorMessage() + ". " + RegistryLastFailure());
    }
}
