#pragma once

// The registry calls the settings code uses, on an SQLite database per user
// ($XDG_CONFIG_HOME, default ~/.config, folder "VexmorPing"). Each call is one
// transaction, so two running copies both keep what they wrote and a crash
// never leaves half a value. Key names are case-insensitive and kept as
// written; values are byte strings kept exactly.

#include <cstdint>
#include <string>

using HKEY = intptr_t;
using LONG = int32_t;
using DWORD = uint32_t;

constexpr HKEY HKEY_CURRENT_USER = HKEY(0x80000001u);
constexpr HKEY HKEY_LOCAL_MACHINE = HKEY(0x80000002u);

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_REGISTRY_IO_FAILED = 1016;
constexpr LONG ERROR_KEY_DELETED = 1018;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key; never creates one.
LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, DWORD access, HKEY* result);
// Opens the key, creating it and any missing parents.
LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD reserved, const char* keyClass,
                     DWORD options, DWORD access, void* security, HKEY* result,
                     DWORD* disposition);
LONG RegCloseKey(HKEY key);
LONG RegSetValueExA(HKEY key, const char* name, DWORD reserved, DWORD type, const uint8_t* data,
                    DWORD size);
// With data null, *size receives the size needed. A buffer that is too small
// gives ERROR_MORE_DATA and the size needed, and nothing is copied. Text values
// (REG_SZ) are handed out with a terminating zero, counted in the size.
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* reserved, DWORD* type, uint8_t* data,
                      DWORD* size);
LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* maxSubKeyLength);
// Subkeys in case-insensitive sorted order; *nameSize is the buffer size on
// entry and the name's length (without the zero) on success.
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize);
// Deletes the subkey with everything below it.
LONG RegDeleteKeyA(HKEY key, const char* subKey);

// Several calls as one transaction, all or nothing: the calls made while it
// lives (on this thread) join it; Commit makes them durable, and without a
// Commit the destructor takes them back. Reads inside it see one snapshot.
class RegistryTransaction final {
public:
    explicit RegistryTransaction(bool write = true);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;
    LONG Began() const { return began_; }
    LONG Commit();

private:
    LONG began_;
    bool open_;
};

// What is wrong with the hive (which file, what, what to do), for the user;
// empty when it can be read and written.
std::string RegistryProblem();
// Why the latest failed call failed, in words for the user.
std::string RegistryLastFailure();
