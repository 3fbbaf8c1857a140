#include "platform/registry.h"
#include "platform/linux/RegistryStore.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {

std::mutex handlesMutex;
std::map<HKEY, int64_t>& Handles()
{
    static std::map<HKEY, int64_t> handles;
    return handles;
}
HKEY nextHandle = 0x1000;

// The key id behind a handle, or -1.
int64_t KeyOf(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
        return RegistryStore::LocalMachineId;
    if (key == HKEY_CURRENT_USER)
        return RegistryStore::CurrentUserId;
    std::lock_guard<std::mutex> lock(handlesMutex);
    auto it = Handles().find(key);
    return it == Handles().end() ? -1 : it->second;
}

LONG Code(StoreResult result)
{
    switch (result) {
    case StoreResult::Ok: return ERROR_SUCCESS;
    case StoreResult::NotFound: return ERROR_FILE_NOT_FOUND;
    case StoreResult::AccessDenied: return ERROR_ACCESS_DENIED;
    case StoreResult::InvalidParameter: return ERROR_INVALID_PARAMETER;
    case StoreResult::NoMoreItems: return ERROR_NO_MORE_ITEMS;
    case StoreResult::KeyDeleted: return ERROR_KEY_DELETED;
    case StoreResult::IoFailed: return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_REGISTRY_IO_FAILED;
}

HKEY NewHandle(int64_t id)
{
    std::lock_guard<std::mutex> lock(handlesMutex);
    const HKEY h = nextHandle++;
    Handles()[h] = id;
    return h;
}

} // namespace

LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, DWORD, HKEY* result)
{
    const int64_t parent = KeyOf(root);
    if (parent < 0 || !result)
        return ERROR_INVALID_HANDLE;
    int64_t id = 0;
    const LONG rc = Code(RegistryStore::Instance().Find(parent, subKey ? subKey : "", false, id, nullptr));
    if (rc == ERROR_SUCCESS)
        *result = NewHandle(id);
    return rc;
}

LONG RegCreateKeyExA(HKEY root, const char* subKey, DWORD, const char*, DWORD, DWORD, void*,
                     HKEY* result, DWORD* disposition)
{
    const int64_t parent = KeyOf(root);
    if (parent < 0 || !result)
        return ERROR_INVALID_HANDLE;
    int64_t id = 0;
    bool created = false;
    const LONG rc = Code(RegistryStore::Instance().Find(parent, subKey ? subKey : "", true, id, &created));
    if (rc != ERROR_SUCCESS)
        return rc;
    *result = NewHandle(id);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> lock(handlesMutex);
    return Handles().erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const uint8_t* data, DWORD size)
{
    const int64_t id = KeyOf(key);
    if (id < 0)
        return ERROR_INVALID_HANDLE;
    if (!data && size)
        return ERROR_INVALID_PARAMETER;
    const std::string bytes = data ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
    return Code(RegistryStore::Instance().SetValue(id, name ? name : "", type, bytes));
}

LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, uint8_t* data, DWORD* size)
{
    const int64_t id = KeyOf(key);
    if (id < 0)
        return ERROR_INVALID_HANDLE;
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    DWORD storedType = REG_NONE;
    std::string bytes;
    const LONG rc = Code(RegistryStore::Instance().GetValue(id, name ? name : "", storedType, bytes));
    if (rc != ERROR_SUCCESS)
        return rc;
    if (storedType == REG_SZ)
        bytes.push_back('\0');
    if (type)
        *type = storedType;
    if (!size)
        return ERROR_SUCCESS;
    const DWORD offered = *size;
    *size = DWORD(bytes.size());
    if (!data)
        return ERROR_SUCCESS;
    if (bytes.size() > offered)
        return ERROR_MORE_DATA;
    std::memcpy(data, bytes.data(), bytes.size());
    return ERROR_SUCCESS;
}

LONG RegQueryInfoKeyA(HKEY key, DWORD* subKeys, DWORD* maxSubKeyLength)
{
    const int64_t id = KeyOf(key);
    if (id < 0)
        return ERROR_INVALID_HANDLE;
    return Code(RegistryStore::Instance().Info(id, subKeys, maxSubKeyLength));
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* nameSize)
{
    const int64_t id = KeyOf(key);
    if (id < 0)
        return ERROR_INVALID_HANDLE;
    if (!name || !nameSize)
        return ERROR_INVALID_PARAMETER;
    std::string found;
    const LONG rc = Code(RegistryStore::Instance().SubkeyAt(id, index, found));
    if (rc != ERROR_SUCCESS)
        return rc;
    if (found.size() + 1 > *nameSize)
        return ERROR_MORE_DATA;
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameSize = DWORD(found.size());
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY key, const char* subKey)
{
    const int64_t id = KeyOf(key);
    if (id < 0)
        return ERROR_INVALID_HANDLE;
    if (!subKey || !*subKey)
        return ERROR_INVALID_PARAMETER;
    return Code(RegistryStore::Instance().Delete(id, subKey));
}

RegistryTransaction::RegistryTransaction(bool write)
    : began_(Code(RegistryStore::Instance().Begin(write))), open_(began_ == ERROR_SUCCESS)
{
}

RegistryTransaction::~RegistryTransaction()
{
    if (open_)
        RegistryStore::Instance().Rollback();
}

LONG RegistryTransaction::Commit()
{
    if (!open_)
        return began_ == ERROR_SUCCESS ? ERROR_INVALID_PARAMETER : began_;
    open_ = false;
    return Code(RegistryStore::Instance().Commit());
}

std::string RegistryProblem()
{
    return RegistryStore::Instance().Problem();
}

std::string RegistryLastFailure()
{
    return RegistryStore::Instance().LastFailure();
}
