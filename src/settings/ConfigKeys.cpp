#include "settings/ConfigKeys.h"
#include "platform/registry.h"

void EnsureConfigurationKeys()
{
    HKEY key = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, HostsPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS)
        RegCloseKey(key);
}
