#pragma once

// Internal to the registry layer: the SQLite hive behind the registry calls.

#include "platform/registry.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class RegistryStore final {
public:
    static constexpr int64_t LocalMachineId = 1;
    static constexpr int64_t CurrentUserId = 2;

    // The store of the current user's hive; reopened when the folder changes.
    static RegistryStore& Instance();

    RegistryStore() = default;
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    LONG Find(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created);
    LONG SetValue(int64_t key, const std::string& name, DWORD type, const std::string& data);
    LONG GetValue(int64_t key, const std::string& name, DWORD& type, std::string& data);
    LONG Info(int64_t key, DWORD* subKeys, DWORD* maxSubKeyLength);
    LONG SubkeyAt(int64_t key, DWORD index, std::string& name);
    LONG Delete(int64_t parent, const std::string& path);

private:
    bool Open(const std::string& file);
    void Close();
    bool Exec(const char* sql);
    // Statements are prepared once per connection and reused.
    sqlite3_stmt* Prepared(const std::string& sql);
    bool KeyExists(int64_t key);
    LONG Walk(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string file_;
    int owner_ = 0; // the process that opened db_
    std::map<std::string, sqlite3_stmt*> statements_;
};
