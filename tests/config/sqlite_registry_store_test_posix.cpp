// What only the database store shows: where it lives, that it persists, that it orders names
// upper-cased as the Windows registry does, and that several processes can share it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "config/registry.h"
#include "config/sqlite_registry_store.h"
#include "support/config_test_registry.h"

namespace {

class SqliteStoreTest : public testing::Test {
protected:
    std::string dbPath(const char* name = "store.sqlite3") const { return test_.scratchDirectory() + "/" + name; }
    static bool createKey(CRegistry& registry, const std::string& path, CRegistryKey& key) {
        return registry.openKey(path, kRegKeyAllAccess, nullptr, true, key);
    }
    ScopedTestRegistry test_;
};

TEST_F(SqliteStoreTest, PersistsAndOrdersNamesUpperCasedLikeWindows) {
    {
        CRegistry registry(openSqliteRegistryStore(dbPath()));
        CRegistryKey key, k;
        ASSERT_TRUE(createKey(registry, "SOFTWARE\\persist", key));
        ASSERT_TRUE(key.setQword("q", 42));
        ASSERT_TRUE(key.setString(u"s", u"text"));
        // '_' lies between 'Z' and 'a': upper-cased it sorts after the letters.
        for (const char* name : {"a_", "ab", "A0", "\xc3\xa9t\xc3\xa9", "Ez"})
            ASSERT_TRUE(key.openSubKey(name, kRegKeyAllAccess, true, k));
    }
    CRegistry registry(openSqliteRegistryStore(dbPath()));
    CRegistryKey key;
    ASSERT_TRUE(registry.openKey("software/PERSIST", kRegKeyRead, nullptr, false, key));
    EXPECT_EQ(qwordValue(42), rawValue(key, u"q"));
    EXPECT_EQ(stringValue(u"text"), rawValue(key, u"s"));
    EXPECT_EQ((std::vector<std::string>{"A0", "ab", "a_", "Ez", "\xc3\xa9t\xc3\xa9"}), subKeyNames(key));

    const std::vector<WString> samples = {u"a_", u"AB", u"\u00e9", u"\u00c9x", u"z", u"", u"\u00f7", u"\u00d7", u"abc"};
    for (const WString& x : samples)
        for (const WString& y : samples) {
            int expected = platform::compareNoCase(x, y);
            int folded = registryFoldKey(x).compare(registryFoldKey(y));
            EXPECT_EQ(expected < 0, folded < 0) << platform::utf16ToUtf8(x) << " vs " << platform::utf16ToUtf8(y);
            EXPECT_EQ(expected == 0, folded == 0) << platform::utf16ToUtf8(x) << " vs " << platform::utf16ToUtf8(y);
        }
}

TEST_F(SqliteStoreTest, PathComesFromTheSetterTheEnvironmentOrTheStateDirectory) {
    CRegistryKey key;
    {
        CRegistry unopenable(openSqliteRegistryStore("/proc/velkaris-no-such-dir/registry.sqlite3"));
        EXPECT_FALSE(createKey(unopenable, "SOFTWARE", key));
        EXPECT_FALSE(key.isValid());
    }
    setRegistryStorePath("");
    unsetenv("VELKARIS_REGISTRY_DB");
    EXPECT_EQ("..\\state\\registry.sqlite3", registryStorePath());
    {
        CRegistry registry;
        ASSERT_TRUE(createKey(registry, "SOFTWARE\\x", key));
    }
    EXPECT_TRUE(std::filesystem::exists(test_.scratchDirectory() + "/state/registry.sqlite3"));

    setenv("VELKARIS_REGISTRY_DB", dbPath("from-env.sqlite3").c_str(), 1);
    {
        CRegistry registry;
        ASSERT_TRUE(createKey(registry, "SOFTWARE\\x", key));
    }
    unsetenv("VELKARIS_REGISTRY_DB");
    EXPECT_TRUE(std::filesystem::exists(dbPath("from-env.sqlite3")));
    setRegistryStorePath(dbPath("explicit.sqlite3"));
    EXPECT_EQ(dbPath("explicit.sqlite3"), registryStorePath());
}

TEST_F(SqliteStoreTest, SeveralProcessesShareTheDatabase) {
    const std::string path = dbPath();
    std::vector<pid_t> pids;
    for (int c = 0; c < 3; ++c) {
        pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) {
            // A connection of its own; the parent's is never used after the fork.
            CRegistry registry(openSqliteRegistryStore(path));
            CRegistryKey shared, own, common;
            if (!createKey(registry, "SOFTWARE\\shared", shared)) _exit(2);
            for (int i = 0; i < 40; ++i) {
                std::string name = "c" + std::to_string(c) + "-" + std::to_string(i);
                if (!createKey(registry, "SOFTWARE\\shared\\" + name, own) || !own.setDword("i", i) ||
                    !shared.setDword(name, 1) || !createKey(registry, "SOFTWARE\\shared\\common", common))
                    _exit(3);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    CRegistry registry(openSqliteRegistryStore(path));
    CRegistryKey shared;
    ASSERT_TRUE(registry.openKey("SOFTWARE\\shared", kRegKeyRead, nullptr, false, shared));
    EXPECT_EQ(121u, subKeyNames(shared).size());
    // One value per child key in "shared" and one in each child key.
    EXPECT_EQ(240u, dumpKeyTree(shared).size());
}

}  // namespace
