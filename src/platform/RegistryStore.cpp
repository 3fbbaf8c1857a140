#include "platform/RegistryStore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr LONG ERROR_KEY_DELETED = 1018;

// One use of a cached prepared statement, reset when it goes out of scope.
class Statement {
public:
    explicit Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    ~Statement()
    {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& Bind(int i, int64_t v)
    {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& text)
    {
        sqlite3_bind_text(stmt_, i, text.data(), int(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const std::string& bytes)
    {
        sqlite3_bind_blob(stmt_, i, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    int64_t Int(int col) { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col)
    {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
        return p ? std::string(p, size_t(sqlite3_column_bytes(stmt_, col))) : std::string();
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Commits on Commit(), rolls back otherwise.
class Transaction {
public:
    Transaction(sqlite3* db, bool write) : db_(db)
    {
        // IMMEDIATE takes the write lock up front, so two copies of the program
        // queue behind each other instead of failing half-way.
        ok_ = sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction()
    {
        if (ok_ && !done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool ok() const { return ok_; }
    bool Commit()
    {
        done_ = true;
        return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }

private:
    sqlite3* db_;
    bool ok_ = false;
    bool done_ = false;
};

std::vector<std::string> Split(const std::string& path)
{
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

} // namespace

std::string RegistryFolder()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg)
        base = xdg;
    else
        base = std::string(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") + "/.config";
    return base + "/VexmorPing";
}

bool EnsureRegistryFolder()
{
    const std::string folder = RegistryFolder();
    const std::string parent = folder.substr(0, folder.rfind('/'));
    ::mkdir(parent.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    struct stat st{};
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

RegistryStore& RegistryStore::Instance()
{
    static RegistryStore store;
    const std::string file = RegistryFolder() + "/registry.db";
    std::lock_guard<std::mutex> lock(store.mutex_);
    if (store.db_ && store.owner_ != ::getpid()) {
        // A connection must not be used across fork: the child opens its own
        // and leaves the inherited one to the parent.
        store.db_ = nullptr;
        store.file_.clear();
    }
    if (store.file_ != file) {
        store.Close();
        store.Open(file);
    }
    return store;
}

RegistryStore::~RegistryStore()
{
    Close();
}

bool RegistryStore::Open(const std::string& file)
{
    file_ = file;
    owner_ = ::getpid();
    EnsureRegistryFolder();
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, 10000);
    // WAL with full sync: a commit is on disk when the call returns, and a
    // crash leaves either the old or the new value, never a mix.
    return Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=FULL") &&
           Exec("CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
                " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name))") &&
           Exec("CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
                " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name))") &&
           Exec("INSERT OR IGNORE INTO keys(id, parent, name) VALUES"
                " (1, 0, 'HKEY_LOCAL_MACHINE'), (2, 0, 'HKEY_CURRENT_USER')");
}

sqlite3_stmt* RegistryStore::Prepared(const std::string& sql)
{
    auto it = statements_.find(sql);
    if (it != statements_.end())
        return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (!db_ || sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        return nullptr;
    statements_[sql] = stmt;
    return stmt;
}

void RegistryStore::Close()
{
    for (auto& [sql, stmt] : statements_)
        sqlite3_finalize(stmt);
    statements_.clear();
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool RegistryStore::Exec(const char* sql)
{
    return db_ && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool RegistryStore::KeyExists(int64_t key)
{
    Statement s(Prepared("SELECT 1 FROM keys WHERE id = ?"));
    return s.Bind(1, key).Step() == SQLITE_ROW;
}

LONG RegistryStore::Walk(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created)
{
    if (!KeyExists(parent))
        return ERROR_KEY_DELETED;
    id = parent;
    if (created)
        *created = false;
    if (path.empty())
        return ERROR_SUCCESS;
    for (const std::string& part : Split(path)) {
        if (part.empty())
            return ERROR_INVALID_PARAMETER;
        Statement find(Prepared("SELECT id FROM keys WHERE parent = ? AND name = ?"));
        if (find.Bind(1, id).Bind(2, part).Step() == SQLITE_ROW) {
            id = find.Int(0);
            continue;
        }
        if (!create)
            return ERROR_FILE_NOT_FOUND;
        Statement insert(Prepared("INSERT INTO keys(parent, name) VALUES (?, ?)"));
        if (insert.Bind(1, id).Bind(2, part).Step() != SQLITE_DONE)
            return ERROR_REGISTRY_IO_FAILED;
        id = sqlite3_last_insert_rowid(db_);
        if (created)
            *created = true;
    }
    return ERROR_SUCCESS;
}

LONG RegistryStore::Find(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_, create);
    if (!db_ || !t.ok())
        return ERROR_REGISTRY_IO_FAILED;
    const LONG rc = Walk(parent, path, create, id, created);
    if (rc != ERROR_SUCCESS)
        return rc;
    return !create || t.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

LONG RegistryStore::SetValue(int64_t key, const std::string& name, DWORD type, const std::string& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_, true);
    if (!db_ || !t.ok())
        return ERROR_REGISTRY_IO_FAILED;
    if (!KeyExists(key))
        return ERROR_KEY_DELETED;
    Statement s(Prepared("INSERT OR REPLACE INTO vals(key, name, type, data) VALUES (?, ?, ?, ?)"));
    if (s.Bind(1, key).Bind(2, name).Bind(3, int64_t(type)).BindBlob(4, data).Step() != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    return t.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}

LONG RegistryStore::GetValue(int64_t key, const std::string& name, DWORD& type, std::string& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_)
        return ERROR_REGISTRY_IO_FAILED;
    Statement s(Prepared("SELECT type, data FROM vals WHERE key = ? AND name = ?"));
    if (s.Bind(1, key).Bind(2, name).Step() != SQLITE_ROW)
        return ERROR_FILE_NOT_FOUND;
    type = DWORD(s.Int(0));
    data = s.Text(1);
    return ERROR_SUCCESS;
}

LONG RegistryStore::Info(int64_t key, DWORD* subKeys, DWORD* maxSubKeyLength)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_)
        return ERROR_REGISTRY_IO_FAILED;
    Statement s(Prepared("SELECT COUNT(*), COALESCE(MAX(LENGTH(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?"));
    if (s.Bind(1, key).Step() != SQLITE_ROW)
        return ERROR_REGISTRY_IO_FAILED;
    if (subKeys)
        *subKeys = DWORD(s.Int(0));
    if (maxSubKeyLength)
        *maxSubKeyLength = DWORD(s.Int(1));
    return ERROR_SUCCESS;
}

LONG RegistryStore::SubkeyAt(int64_t key, DWORD index, std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_)
        return ERROR_REGISTRY_IO_FAILED;
    Statement s(Prepared("SELECT name FROM keys WHERE parent = ? ORDER BY name COLLATE NOCASE, name LIMIT 1 OFFSET ?"));
    if (s.Bind(1, key).Bind(2, int64_t(index)).Step() != SQLITE_ROW)
        return ERROR_NO_MORE_ITEMS;
    name = s.Text(0);
    return ERROR_SUCCESS;
}

LONG RegistryStore::Delete(int64_t parent, const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Transaction t(db_, true);
    if (!db_ || !t.ok())
        return ERROR_REGISTRY_IO_FAILED;
    int64_t id = 0;
    const LONG rc = Walk(parent, path, false, id, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (id == LocalMachineId || id == CurrentUserId)
        return ERROR_ACCESS_DENIED;
    const char* subtree = "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL"
                          " SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) ";
    Statement values(Prepared((std::string(subtree) + "DELETE FROM vals WHERE key IN (SELECT id FROM sub)").c_str()));
    Statement keys(Prepared((std::string(subtree) + "DELETE FROM keys WHERE id IN (SELECT id FROM sub)").c_str()));
    if (values.Bind(1, id).Step() != SQLITE_DONE || keys.Bind(1, id).Step() != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    return t.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
}
