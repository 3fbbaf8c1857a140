#pragma once

// The SQLite hive behind the registry calls: keys in a tree of rows, values
// as blobs, one transaction per call. SQLite's file locks let two running
// copies share the file.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// How a call on the hive ended; the registry calls give it their error codes.
enum class StoreResult { Ok, NotFound, AccessDenied, InvalidParameter, NoMoreItems, KeyDeleted, IoFailed };

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

    StoreResult Find(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created);
    StoreResult SetValue(int64_t key, const std::string& name, uint32_t type, const std::string& data);
    StoreResult GetValue(int64_t key, const std::string& name, uint32_t& type, std::string& data);
    StoreResult Info(int64_t key, uint32_t* subKeys, uint32_t* maxSubKeyLength);
    StoreResult SubkeyAt(int64_t key, uint32_t index, std::string& name);
    StoreResult Delete(int64_t parent, const std::string& path);

    // Several calls as one transaction; a Begin inside another joins it.
    StoreResult Begin(bool write);
    StoreResult Commit();
    void Rollback();

    // What is wrong with the hive as opened, for the user; empty when usable.
    std::string Problem();
    // Why the latest failed call failed, for the user.
    std::string LastFailure();

private:
    // waitMs: how long the opening waits for another program's lock.
    bool Open(const std::string& file, int waitMs);
    // The tables and the two roots; false when that cannot be written.
    bool SetUp();
    bool OpenReadOnly(const std::string& why, int code);
    // A hive opened without writing because of a passing cause (another
    // program's lock, a full disk) is opened again: before a write, waiting
    // for the lock as a write does; before a read at most once a second,
    // without waiting.
    void Retry(bool write);
    StoreResult Failed(const std::string& what);
    StoreResult SqlFailed();
    void Changed() { subkeys_.clear(); }
    void Close();
    bool Exec(const char* sql);
    // Statements are prepared once per connection and reused.
    sqlite3_stmt* Prepared(const std::string& sql);
    bool KeyExists(int64_t key);
    StoreResult Walk(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created);

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string file_;
    int owner_ = 0; // the process that opened db_
    std::map<std::string, sqlite3_stmt*> statements_;
    std::string problem_;
    std::string lastFailure_;
    bool readOnly_ = false;
    bool retry_ = false; // the cause may pass: Retry opens again
    std::chrono::steady_clock::time_point triedAt_{};
    bool foldIndex_ = false; // the file has the index on folded key names
    int batch_ = 0; // depth of RegistryTransaction on this store
    bool doomed_ = false; // an inner transaction rolled back
    // Subkey names in enumeration order, kept while a transaction holds one snapshot.
    std::map<int64_t, std::vector<std::string>> subkeys_;
};
