#include "platform/registry.h"
#include "support/ConfigFolder.h"

#include <sqlite3.h>
#include <sched.h>
#include <sys/mount.h>

#include <csignal>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class Registry : public ConfigFolderTest {
protected:
    HKEY Create(const char* path)
    {
        HKEY key = 0;
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &key, &disposition),
                  ERROR_SUCCESS);
        return key;
    }
    LONG Open(const char* path, HKEY& key)
    {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key);
    }
    void Set(HKEY key, const char* name, const std::string& value)
    {
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const uint8_t*>(value.data()),
                                 DWORD(value.size())),
                  ERROR_SUCCESS);
    }
    // The value's bytes without the terminator added to text.
    std::string Get(HKEY key, const char* name)
    {
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return "<missing>";
        std::vector<uint8_t> buf(size);
        DWORD type = 0;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &type, buf.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(buf.back(), 0);
        return std::string(buf.begin(), buf.end() - 1);
    }
    std::vector<std::string> Subkeys(HKEY key)
    {
        DWORD count = 0, longest = 0;
        EXPECT_EQ(RegQueryInfoKeyA(key, &count, &longest), ERROR_SUCCESS);
        std::vector<std::string> names;
        for (DWORD i = 0;; ++i) {
            std::vector<char> name(longest + 1);
            DWORD size = DWORD(name.size());
            const LONG rc = RegEnumKeyExA(key, i, name.data(), &size);
            if (rc == ERROR_NO_MORE_ITEMS)
                break;
            EXPECT_EQ(rc, ERROR_SUCCESS);
            names.emplace_back(name.data(), size);
        }
        EXPECT_EQ(names.size(), count);
        return names;
    }
};

} // namespace

TEST_F(Registry, OpeningNeverCreatesAndCreatingMakesTheWholePath)
{
    HKEY key = 0;
    EXPECT_EQ(Open("SOFTWARE\\Zembrova!", key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("SOFTWARE\\Zembrova!", key), ERROR_FILE_NOT_FOUND) << "the failed open made nothing";
    HKEY created = Create("SOFTWARE\\Zembrova!\\VexmorPing!\\Config");
    RegCloseKey(created);
    ASSERT_EQ(Open("software\\ZEMBROVA!\\vexmorping!\\config", key), ERROR_SUCCESS) << "case-insensitive";
    RegCloseKey(key);
    HKEY again = 0;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zembrova!", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    EXPECT_EQ(Open("SOFTWARE\\\\Zembrova!", key), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Zembrova!", 0, KEY_ALL_ACCESS, &key),
              ERROR_FILE_NOT_FOUND) << "the two roots are separate";
}

TEST_F(Registry, ValuesAreKeptByteForByteAndShortBuffersGetMoreData)
{
    HKEY key = Create("T");
    const std::string binary("a\0b\xff\x01", 5);
    Set(key, "bytes", binary);
    Set(key, "empty", "");
    EXPECT_EQ(Get(key, "bytes"), binary);
    EXPECT_EQ(Get(key, "BYTES"), binary) << "value names are case-insensitive";
    EXPECT_EQ(Get(key, "empty"), "");
    EXPECT_EQ(Get(key, "absent"), "<missing>");

    uint8_t small[5];
    std::fill(std::begin(small), std::end(small), 0x5A);
    DWORD size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "bytes", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u) << "five bytes and the terminator";
    for (uint8_t b : small)
        EXPECT_EQ(b, 0x5A) << "nothing is copied into a short buffer";
    Set(key, "bytes", "replaced");
    EXPECT_EQ(Get(key, "bytes"), "replaced");
    RegCloseKey(key);
}

// Names keep their case, fold over the whole code page as A-Z do, and sort as
// words: punctuation, digits, letters; the hyphen ignored; accents beside
// their base letter. "\xC9t\xE9" is "Été" in the program's code page.
TEST_F(Registry, SubkeysKeepTheirCaseFoldOverTheWholeCodePageAndSortAsWords)
{
    const struct {
        const char* parent;
        std::vector<const char*> names;
        const char* sameAsOne;
        std::vector<std::string> order;
    } cases[] = {
        {"Hosts", {"beta", "Alpha", "gamma", "Delta", "alpha2"}, "ALPHA", {"Alpha", "alpha2", "beta", "Delta", "gamma"}},
        {"Accents",
         {"\xC9t\xE9", "zeta", "co-op", "coal", "Eta", "\xE9ta", "10", "_x"},
         "\xE9t\xE9",
         {"_x", "10", "coal", "co-op", "Eta", "\xE9ta", "\xC9t\xE9", "zeta"}},
    };
    for (const auto& c : cases) {
        HKEY parent = Create(c.parent);
        for (const char* name : c.names) {
            HKEY k = 0;
            ASSERT_EQ(RegCreateKeyExA(parent, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
            RegCloseKey(k);
        }
        HKEY same = 0;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(parent, c.sameAsOne, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &same, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY) << c.sameAsOne;
        RegCloseKey(same);
        EXPECT_EQ(Subkeys(parent), c.order);
        char name[4];
        DWORD size = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(parent, 3, name, &size), ERROR_MORE_DATA) << "five letters have no room";
        RegCloseKey(parent);
    }
}

TEST_F(Registry, DeletingTakesTheWholeSubtree)
{
    HKEY root = Create("Hosts\\one\\deeper");
    Set(root, "v", "x");
    RegCloseKey(root);
    HKEY hosts = 0;
    ASSERT_EQ(Open("Hosts", hosts), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(hosts, "ONE"), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(hosts), std::vector<std::string>{});
    HKEY gone = 0;
    EXPECT_EQ(Open("Hosts\\one\\deeper", gone), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(hosts, "one"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(hosts);
    EXPECT_EQ(RegCloseKey(hosts), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNothing)
{
    HKEY key = Create("Shared");
    RegCloseKey(key);
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            HKEY k = 0;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Shared", 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS)
                ::_exit(1);
            for (int i = 0; i < 150; ++i) {
                const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
                if (RegSetValueExA(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const uint8_t*>(name.data()),
                                   DWORD(name.size())) != ERROR_SUCCESS)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    HKEY shared = 0;
    ASSERT_EQ(Open("Shared", shared), ERROR_SUCCESS);
    for (int writer = 0; writer < 2; ++writer)
        for (int i = 0; i < 150; ++i) {
            const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
            ASSERT_EQ(Get(shared, name.c_str()), name);
        }
    RegCloseKey(shared);
}

// A writer killed inside a write, past the point where SQLite's page cache
// spills it to disk but before its commit, leaves the last whole value.
TEST_F(Registry, AWriterKilledMidWayLeavesTheLastWholeValue)
{
    HKEY key = Create("Crash");
    const std::string committed(200000, 'a');
    Set(key, "big", committed);
    const pid_t pid = ::fork();
    if (pid == 0) {
        RegistryTransaction write;
        const std::string value(16 << 20, 'b'); // well past the cache
        RegSetValueExA(key, "big", 0, REG_SZ, reinterpret_cast<const uint8_t*>(value.data()), DWORD(value.size()));
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer died inside its write";
    struct stat log {};
    ASSERT_EQ(::stat((folder.path().toStdString() + "/VexmorPing/registry.db-wal").c_str(), &log), 0);
    EXPECT_GT(log.st_size, 8 << 20) << "much of the write was on disk when it died";
    EXPECT_EQ(Get(key, "big"), committed);
    RegCloseKey(key);
}

TEST_F(Registry, ATransactionKeepsAllOrNothing)
{
    HKEY key = Create("Config");
    {
        RegistryTransaction t;
        Set(key, "a", "1");
        Set(key, "b", "2");
    }
    EXPECT_EQ(Get(key, "a"), "<missing>") << "no commit, nothing kept";
    {
        RegistryTransaction t;
        Set(key, "a", "1");
        Set(key, "b", "2");
        EXPECT_EQ(t.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(Get(key, "a") + Get(key, "b"), "12");
    RegCloseKey(key);
}

TEST_F(Registry, ADamagedFileIsReportedAndLeftUntouched)
{
    const std::string dir = folder.path().toStdString() + "/VexmorPing";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string file = dir + "/registry.db";
    const std::string garbage(4096, '\x5a');
    {
        std::ofstream out(file, std::ios::binary);
        out << garbage;
    }
    HKEY key = 0;
    EXPECT_NE(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Config", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string problem = RegistryProblem();
    EXPECT_NE(problem.find(file), std::string::npos) << problem;
    EXPECT_NE(problem.find("damaged"), std::string::npos) << problem;
    EXPECT_NE(problem.find("Move the file away"), std::string::npos) << problem;
    std::ifstream in(file, std::ios::binary);
    const std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(after, garbage);
}

// A read-only folder still lets the settings be read; a write says why it failed.
TEST_F(Registry, AReadOnlyFolderIsReadButNeverWrittenAndSaysSo)
{
    HKEY key = Create("Config");
    Set(key, "kept", "value");
    RegCloseKey(key);
    RegistryProblem(); // the store is opened for this folder
    const std::string dir = folder.path().toStdString() + "/VexmorPing";
    ::chmod(folder.path().toLocal8Bit().constData(), 0755);
    // Switch the store to another folder and back, so the next use opens anew.
    ::setenv("XDG_CONFIG_HOME", "/nonexistent-vexmor", 1);
    RegistryProblem();
    ::chmod(dir.c_str(), 0555);
    ::chmod((dir + "/registry.db").c_str(), 0444);
    const pid_t child = ::fork();
    if (child == 0) {
        // Root ignores file modes: the check runs as an ordinary user.
        if (::geteuid() == 0 && ::setuid(65534) != 0)
            ::_exit(10);
        ::setenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit().constData(), 1);
        HKEY k = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Config", 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS)
            ::_exit(11);
        char buf[16] = {};
        DWORD size = sizeof buf;
        if (RegQueryValueExA(k, "kept", nullptr, nullptr, reinterpret_cast<uint8_t*>(buf), &size) != ERROR_SUCCESS ||
            std::string(buf) != "value")
            ::_exit(12);
        if (RegistryProblem().find("can only be read") == std::string::npos)
            ::_exit(13);
        if (RegSetValueExA(k, "new", 0, REG_SZ, reinterpret_cast<const uint8_t*>("x"), 1) == ERROR_SUCCESS)
            ::_exit(14);
        if (RegistryLastFailure().find("can only be read") == std::string::npos)
            ::_exit(15);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(dir.c_str(), 0755);
    ::chmod((dir + "/registry.db").c_str(), 0644);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid, 11 open, 12 read, 13 problem, 14 write, 15 failure text";
}

// Another program holding the settings database at start: the saved settings
// are read, the cause is named, and the next save tries again.
TEST_F(Registry, ALockAtStartIsNamedAndTheNextSaveTriesAgain)
{
    // A folder name beyond ASCII, shown in the program's code page.
    const std::string home = folder.path().toStdString() + "/cfg-\xC3\xBC";
    ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    HKEY key = Create("Config");
    Set(key, "kept", "value");
    RegCloseKey(key);
    const std::string file = home + "/VexmorPing/registry.db";
    sqlite3* other = nullptr;
    // Another program takes the file while the store has let go of it.
    const auto lockBeforeStart = [&] {
        ::setenv("XDG_CONFIG_HOME", "/nonexistent-vexmor", 1);
        RegistryProblem();
        ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; CREATE TABLE holder(x);",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        ::setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    };
    ASSERT_NO_FATAL_FAILURE(lockBeforeStart());
    const std::string problem = RegistryProblem();
    EXPECT_NE(problem.find("is locked by another program"), std::string::npos) << problem;
    EXPECT_NE(problem.find("/cfg-\xFC/VexmorPing/registry.db"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("writable"), std::string::npos) << "no advice about folder rights: " << problem;
    ASSERT_EQ(Open("Config", key), ERROR_SUCCESS);
    EXPECT_EQ(Get(key, "kept"), "value");
    EXPECT_NE(RegSetValueExA(key, "new", 0, REG_SZ, reinterpret_cast<const uint8_t*>("x"), 1), ERROR_SUCCESS);
    EXPECT_NE(RegistryLastFailure().find("is locked by another program"), std::string::npos) << RegistryLastFailure();

    sqlite3_close(other); // an exclusive locking mode holds the lock until then
    Set(key, "new", "saved");
    EXPECT_EQ(Get(key, "new"), "saved");
    EXPECT_EQ(RegistryProblem(), "");

    // Locked again at start, then let go: reading finds the lock gone.
    ASSERT_NO_FATAL_FAILURE(lockBeforeStart());
    ASSERT_NE(RegistryProblem(), "");
    sqlite3_close(other);
    for (int i = 0; i < 400 && !RegistryProblem().empty(); ++i) {
        EXPECT_EQ(Get(key, "new"), "saved");
        ::usleep(25000);
    }
    EXPECT_EQ(RegistryProblem(), "") << "reads open the store again once the lock is gone";
    RegCloseKey(key);
}

// A full disk at start is named as such, and saving works once there is room.
TEST_F(Registry, AFullDiskAtStartIsNamedAndTheNextSaveTriesAgain)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system to fill needs root";
    const std::string disk = folder.path().toStdString() + "/disk";
    ASSERT_EQ(::mkdir(disk.c_str(), 0700), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // A mount of this process's own, gone with it.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=128k") != 0)
            ::_exit(10);
        ::mkdir((disk + "/VexmorPing").c_str(), 0700);
        const std::string filler = disk + "/filler";
        {
            std::ofstream out(filler, std::ios::binary);
            const std::string block(4096, 'f');
            for (int i = 0; i < 64 && out.write(block.data(), std::streamsize(block.size())); ++i)
                out.flush();
        }
        ::setenv("XDG_CONFIG_HOME", disk.c_str(), 1);
        const std::string problem = RegistryProblem();
        if (problem.find("is full") == std::string::npos || problem.find("Free space") == std::string::npos)
            ::_exit(11);
        if (problem.find("writable") != std::string::npos)
            ::_exit(12);
        ::unlink(filler.c_str());
        HKEY k = 0;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Config", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
                ERROR_SUCCESS ||
            RegSetValueExA(k, "v", 0, REG_SZ, reinterpret_cast<const uint8_t*>("x"), 1) != ERROR_SUCCESS)
            ::_exit(13);
        if (!RegistryProblem().empty())
            ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10)
        GTEST_SKIP() << "this machine does not let a test mount a small file system";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "11 cause not named, 12 folder advice, 13 save, 14 problem left";
}
