#include "platform/linux/RegistryStore.h"
#include "platform/linux/SettingsFolder.h"
#include "platform/AnsiCollation.h"
#include "framework/Ansi.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

// How long a call waits for another copy's write to end before it tells the
// user: short enough that the window never seems frozen.
constexpr int BusyTimeoutMs = 2000;

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

// Commits on Commit(), rolls back otherwise. Inside a RegistryTransaction
// the call joins it: the outer transaction commits or rolls back the whole.
class Transaction {
public:
    Transaction(sqlite3* db, bool write, bool joined) : db_(db), done_(joined)
    {
        // IMMEDIATE takes the write lock up front, so two copies of the program
        // queue behind each other instead of failing half-way.
        ok_ = joined || (db && sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr) ==
                                  SQLITE_OK);
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
        if (done_)
            return true;
        done_ = true;
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
            return true;
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

private:
    sqlite3* db_;
    bool ok_ = false;
    bool done_ = false;
};

void Fold(sqlite3_context* context, int, sqlite3_value** argv)
{
    const auto* text = static_cast<const char*>(sqlite3_value_blob(argv[0]));
    const std::string folded = AnsiUpper({text ? text : "", size_t(sqlite3_value_bytes(argv[0]))});
    sqlite3_result_text(context, folded.data(), int(folded.size()), SQLITE_TRANSIENT);
}

int CompareWords(void*, int na, const void* a, int nb, const void* b)
{
    return AnsiCompareWords({static_cast<const char*>(a), size_t(na)}, {static_cast<const char*>(b), size_t(nb)});
}

// Key names compare with case folded over the whole code page; an index on the
// folded name keeps a look-up among many siblings cheap.
void RegisterCollations(sqlite3* db)
{
    sqlite3_create_function(db, "ansifold", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, Fold, nullptr, nullptr);
    sqlite3_create_collation(db, "ANSIWORDS", SQLITE_UTF8, nullptr, CompareWords);
}

// Reads every page once; a file that is not a database or is damaged says so
// here, before anything could write to it.
int Check(sqlite3* db)
{
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &stmt, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
            rc = text && std::string(text) == "ok" ? SQLITE_OK : SQLITE_CORRUPT;
        }
    }
    sqlite3_finalize(stmt);
    return rc;
}

// The cause of the latest failure on db, with a full disk told apart however
// SQLite reported it (a file that could not be made, a write that failed).
int Cause(sqlite3* db, int code)
{
    const int error = db ? sqlite3_system_errno(db) : 0;
    return error == ENOSPC || error == EDQUOT ? SQLITE_FULL : code;
}

bool Locked(int code)
{
    return (code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED;
}

bool Full(int code)
{
    return (code & 0xFF) == SQLITE_FULL;
}

// A file name in a message: the system's bytes as the program's 8-bit text.
std::string Shown(const std::string& path)
{
    return AnsiFromSystem(FromSystem(path));
}

// What a lock or a full disk at opening means for the user, and what to do.
std::string PassingProblem(const std::string& file, int code, const std::string& why, bool readable)
{
    const std::string shown = readable ? "the saved settings are shown, but changes cannot be saved"
                                       : "the program runs with empty settings for now";
    if (Locked(code))
        return "The settings database " + Shown(file) + " is locked by another program (" + why + "): " + shown +
               " while it holds the lock. Saving tries again; close the other program if it keeps the lock.";
    return "The disk holding the settings database " + Shown(file) + " is full (" + why + "): " + shown +
           ". Free space on that disk; saving tries again.";
}

std::string UriPath(const std::string& file)
{
    std::string out;
    for (char c : file) {
        if (c == '?' || c == '#' || c == '%') {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[(static_cast<unsigned char>(c) >> 4) & 0xF];
            out += hex[static_cast<unsigned char>(c) & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

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

RegistryStore& RegistryStore::Instance()
{
    static RegistryStore store;
    const std::string file = SettingsFolder() + "/registry.db";
    std::lock_guard<std::mutex> lock(store.mutex_);
    if (store.db_ && store.owner_ != ::getpid()) {
        // A connection must not be used across fork: the child opens its own
        // and leaves the inherited one to the parent.
        store.db_ = nullptr;
        store.file_.clear();
    }
    if (store.file_ != file) {
        store.Close();
        store.Open(file, BusyTimeoutMs);
    }
    return store;
}

RegistryStore::~RegistryStore()
{
    Close();
}

bool RegistryStore::Open(const std::string& file, int waitMs)
{
    file_ = file;
    owner_ = ::getpid();
    problem_.clear();
    readOnly_ = false;
    retry_ = false;
    triedAt_ = std::chrono::steady_clock::now();
    foldIndex_ = false;
    EnsureSettingsFolder();
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : "it cannot be opened";
        const int code = db_ ? Cause(db_, sqlite3_extended_errcode(db_)) : SQLITE_CANTOPEN;
        Close();
        return OpenReadOnly(why, code);
    }
    RegisterCollations(db_);
    sqlite3_busy_timeout(db_, waitMs);
    const int rc = Check(db_);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) {
        problem_ = "The settings file " + Shown(file) + " is damaged or is not a settings file (" +
                   (rc == SQLITE_NOTADB ? std::string("not a database") : std::string("its pages do not check")) +
                   "). It was left untouched; the program runs with empty settings and cannot save any. "
                   "Move the file away (keep it if you want to recover it) and start the program again.";
        Close();
        return false;
    }
    if (rc != SQLITE_OK || sqlite3_db_readonly(db_, "main") == 1) {
        // A read-only folder or mount: SQLite opens the file read-only, and the
        // write-ahead log's side files cannot be made. A lock that even
        // reading must wait for: the file is read as it is on disk.
        const std::string why = rc != SQLITE_OK ? sqlite3_errmsg(db_) : "the file or its folder is read-only";
        const int code = rc != SQLITE_OK ? Cause(db_, rc) : SQLITE_READONLY;
        Close();
        return OpenReadOnly(why, code);
    }
    if (SetUp()) {
        sqlite3_busy_timeout(db_, BusyTimeoutMs);
        return true;
    }
    const std::string why = sqlite3_errmsg(db_);
    const int code = Cause(db_, sqlite3_extended_errcode(db_));
    if (Locked(code) || Full(code)) {
        // Reading works; writing waits for the lock to go or the space to
        // come back, and the next save tries again.
        sqlite3_busy_timeout(db_, BusyTimeoutMs);
        readOnly_ = true;
        retry_ = true;
        problem_ = PassingProblem(file, code, why, Exec("SELECT 1 FROM keys LIMIT 1"));
        return true;
    }
    Close();
    return OpenReadOnly(why, code);
}

bool RegistryStore::SetUp()
{
    // WAL with full sync: a commit is on disk when the call returns, and a
    // crash leaves either the old or the new value, never a mix.
    foldIndex_ =
        Exec("PRAGMA journal_mode=WAL") && Exec("PRAGMA synchronous=FULL") &&
        Exec("CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
             " name TEXT NOT NULL COLLATE NOCASE, UNIQUE(parent, name))") &&
        Exec("CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
             " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name))") &&
        Exec("CREATE INDEX IF NOT EXISTS keys_folded ON keys(parent, ansifold(name))") &&
        Exec("INSERT OR IGNORE INTO keys(id, parent, name) VALUES"
             " (1, 0, 'HKEY_LOCAL_MACHINE'), (2, 0, 'HKEY_CURRENT_USER')");
    return foldIndex_;
}

// The settings can still be read where they cannot be written: opened as
// immutable, SQLite needs no side file and takes no lock.
bool RegistryStore::OpenReadOnly(const std::string& why, int code)
{
    const std::string uri = "file:" + UriPath(file_) + "?immutable=1";
    struct stat st{};
    const bool exists = ::stat(file_.c_str(), &st) == 0;
    bool readable = false;
    if (exists && sqlite3_open_v2(uri.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX,
                                  nullptr) == SQLITE_OK) {
        RegisterCollations(db_);
        readable = Check(db_) == SQLITE_OK && Exec("SELECT 1 FROM keys LIMIT 1");
    }
    if (readable) {
        readOnly_ = true;
        foldIndex_ = Exec("SELECT 1 FROM keys INDEXED BY keys_folded WHERE parent = 0 AND ansifold(name) = ''");
    } else {
        Close();
    }
    // A lock or a full disk passes; folder rights are the user's to mend.
    retry_ = Locked(code) || Full(code);
    if (retry_)
        problem_ = PassingProblem(file_, code, why, readable);
    else if (readable)
        problem_ = "The settings file " + Shown(file_) + " can only be read (" + why +
                   "): the saved settings are shown, but changes cannot be saved. Make the folder " +
                   Shown(SettingsFolder()) + " and the file writable to save them.";
    else
        problem_ = "The settings file " + Shown(file_) + " cannot be " + (exists ? "used" : "created") + " (" + why +
                   "): the program runs with empty settings and cannot save any. Make the folder " +
                   Shown(SettingsFolder()) + " writable and start the program again.";
    return readable;
}

void RegistryStore::Retry(bool write)
{
    if (!retry_ || batch_ > 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!write && now - triedAt_ < std::chrono::seconds(1))
        return;
    Close();
    Open(file_, write ? BusyTimeoutMs : 0);
}

StoreResult RegistryStore::Failed(const std::string& what)
{
    lastFailure_ = what;
    return StoreResult::IoFailed;
}

StoreResult RegistryStore::SqlFailed()
{
    if (!db_)
        return Failed(problem_);
    if (readOnly_)
        return Failed(problem_);
    switch (Cause(db_, sqlite3_errcode(db_))) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return Failed("Another program is using the settings file " + Shown(file_) +
                      " and did not let go within two seconds. Nothing was saved; try again.");
    case SQLITE_FULL:
        return Failed("The disk holding the settings file " + Shown(file_) + " is full. Nothing was saved; free space and try again.");
    case SQLITE_READONLY:
        return Failed("The settings file " + Shown(file_) + " can only be read. Nothing was saved.");
    default:
        return Failed("The settings file " + Shown(file_) + " could not be written (" + sqlite3_errmsg(db_) +
                      "). Nothing was saved.");
    }
}

std::string RegistryStore::Problem()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return problem_;
}

std::string RegistryStore::LastFailure()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lastFailure_;
}

StoreResult RegistryStore::Begin(bool write)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(write);
    if (!db_ || (write && readOnly_))
        return Failed(problem_);
    if (batch_ == 0) {
        if (!Exec(write ? "BEGIN IMMEDIATE" : "BEGIN"))
            return SqlFailed();
        doomed_ = false;
    }
    ++batch_;
    Changed();
    return StoreResult::Ok;
}

StoreResult RegistryStore::Commit()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (batch_ == 0)
        return StoreResult::InvalidParameter;
    Changed();
    if (--batch_ > 0)
        return StoreResult::Ok;
    if (doomed_) {
        Exec("ROLLBACK");
        return Failed(lastFailure_);
    }
    if (Exec("COMMIT"))
        return StoreResult::Ok;
    const StoreResult rc = SqlFailed();
    Exec("ROLLBACK");
    return rc;
}

void RegistryStore::Rollback()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (batch_ == 0)
        return;
    Changed();
    if (--batch_ > 0)
        doomed_ = true; // an inner part failed: the whole fails
    else
        Exec("ROLLBACK");
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
    batch_ = 0;
    subkeys_.clear();
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

StoreResult RegistryStore::Walk(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created)
{
    if (!KeyExists(parent))
        return StoreResult::KeyDeleted;
    id = parent;
    if (created)
        *created = false;
    if (path.empty())
        return StoreResult::Ok;
    for (const std::string& part : Split(path)) {
        if (part.empty())
            return StoreResult::InvalidParameter;
        // Case is folded over the whole code page, not A-Z alone.
        // The planner cannot tell the folded index is the one that helps; a
        // file only read (made by an older copy) may not have it.
        Statement find(Prepared(foldIndex_ ? "SELECT id FROM keys INDEXED BY keys_folded"
                                             " WHERE parent = ? AND ansifold(name) = ansifold(?)"
                                           : "SELECT id FROM keys WHERE parent = ? AND ansifold(name) = ansifold(?)"));
        if (find.Bind(1, id).Bind(2, part).Step() == SQLITE_ROW) {
            id = find.Int(0);
            continue;
        }
        if (!create)
            return StoreResult::NotFound;
        Statement insert(Prepared("INSERT INTO keys(parent, name) VALUES (?, ?)"));
        if (insert.Bind(1, id).Bind(2, part).Step() != SQLITE_DONE)
            return SqlFailed();
        Changed();
        id = sqlite3_last_insert_rowid(db_);
        if (created)
            *created = true;
    }
    return StoreResult::Ok;
}

StoreResult RegistryStore::Find(int64_t parent, const std::string& path, bool create, int64_t& id, bool* created)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(create);
    Transaction t(db_, create, batch_ > 0);
    if (!db_ || !t.ok())
        return SqlFailed();
    const StoreResult rc = Walk(parent, path, create, id, created);
    if (rc != StoreResult::Ok)
        return rc;
    return !create || t.Commit() ? StoreResult::Ok : SqlFailed();
}

StoreResult RegistryStore::SetValue(int64_t key, const std::string& name, uint32_t type, const std::string& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(true);
    Transaction t(db_, true, batch_ > 0);
    if (!db_ || !t.ok())
        return SqlFailed();
    if (!KeyExists(key))
        return StoreResult::KeyDeleted;
    Statement s(Prepared("INSERT OR REPLACE INTO vals(key, name, type, data) VALUES (?, ?, ?, ?)"));
    if (s.Bind(1, key).Bind(2, name).Bind(3, int64_t(type)).BindBlob(4, data).Step() != SQLITE_DONE)
        return SqlFailed();
    return t.Commit() ? StoreResult::Ok : SqlFailed();
}

StoreResult RegistryStore::GetValue(int64_t key, const std::string& name, uint32_t& type, std::string& data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(false);
    if (!db_)
        return Failed(problem_);
    Statement s(Prepared("SELECT type, data FROM vals WHERE key = ? AND name = ?"));
    if (s.Bind(1, key).Bind(2, name).Step() != SQLITE_ROW)
        return StoreResult::NotFound;
    type = uint32_t(s.Int(0));
    data = s.Text(1);
    return StoreResult::Ok;
}

StoreResult RegistryStore::Info(int64_t key, uint32_t* subKeys, uint32_t* maxSubKeyLength)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(false);
    if (!db_)
        return Failed(problem_);
    Statement s(Prepared("SELECT COUNT(*), COALESCE(MAX(LENGTH(CAST(name AS BLOB))), 0) FROM keys WHERE parent = ?"));
    if (s.Bind(1, key).Step() != SQLITE_ROW)
        return StoreResult::IoFailed;
    if (subKeys)
        *subKeys = uint32_t(s.Int(0));
    if (maxSubKeyLength)
        *maxSubKeyLength = uint32_t(s.Int(1));
    return StoreResult::Ok;
}

StoreResult RegistryStore::SubkeyAt(int64_t key, uint32_t index, std::string& name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(false);
    if (!db_)
        return Failed(problem_);
    if (batch_ == 0) {
        Statement s(Prepared("SELECT name FROM keys WHERE parent = ? ORDER BY name COLLATE ANSIWORDS LIMIT 1 OFFSET ?"));
        if (s.Bind(1, key).Bind(2, int64_t(index)).Step() != SQLITE_ROW)
            return StoreResult::NoMoreItems;
        name = s.Text(0);
        return StoreResult::Ok;
    }
    // Within one snapshot the order cannot change: list the names once, so
    // enumerating n subkeys costs one query, not n.
    auto it = subkeys_.find(key);
    if (it == subkeys_.end()) {
        std::vector<std::string> names;
        Statement s(Prepared("SELECT name FROM keys WHERE parent = ? ORDER BY name COLLATE ANSIWORDS"));
        s.Bind(1, key);
        while (s.Step() == SQLITE_ROW)
            names.push_back(s.Text(0));
        it = subkeys_.emplace(key, std::move(names)).first;
    }
    if (index >= it->second.size())
        return StoreResult::NoMoreItems;
    name = it->second[index];
    return StoreResult::Ok;
}

StoreResult RegistryStore::Delete(int64_t parent, const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Retry(true);
    Transaction t(db_, true, batch_ > 0);
    if (!db_ || !t.ok())
        return SqlFailed();
    int64_t id = 0;
    const StoreResult rc = Walk(parent, path, false, id, nullptr);
    if (rc != StoreResult::Ok)
        return rc;
    if (id == LocalMachineId || id == CurrentUserId)
        return StoreResult::AccessDenied;
    const char* subtree = "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL"
                          " SELECT keys.id FROM keys JOIN sub ON keys.parent = sub.id) ";
    Statement values(Prepared((std::string(subtree) + "DELETE FROM vals WHERE key IN (SELECT id FROM sub)").c_str()));
    Statement keys(Prepared((std::string(subtree) + "DELETE FROM keys WHERE id IN (SELECT id FROM sub)").c_str()));
    if (values.Bind(1, id).Step() != SQLITE_DONE || keys.Bind(1, id).Step() != SQLITE_DONE)
        return SqlFailed();
    Changed();
    return t.Commit() ? StoreResult::Ok : SqlFailed();
}
