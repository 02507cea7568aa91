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
    ScopedTestRegistry test_;
};

TEST_F(SqliteStoreTest, ValuesPersistAcrossStores) {
    {
        CRegistry registry(openSqliteRegistryStore(dbPath()));
        CRegistryKey key;
        ASSERT_TRUE(registry.openKey("SOFTWARE\\persist", kRegKeyAllAccess, nullptr, true, key));
        ASSERT_TRUE(key.setQword("q", 42));
        ASSERT_TRUE(key.setString(u"s", u"text"));
    }
    CRegistry registry(openSqliteRegistryStore(dbPath()));
    CRegistryKey key;
    ASSERT_TRUE(registry.openKey("software/PERSIST", kRegKeyRead, nullptr, false, key));
    EXPECT_EQ(qwordValue(42), rawValue(key, u"q"));
    EXPECT_EQ(stringValue(u"text"), rawValue(key, u"s"));
}

TEST_F(SqliteStoreTest, OrdersNamesUpperCasedLikeWindows) {
    // '_' lies between 'Z' and 'a': upper-cased it sorts after the letters.
    CRegistry registry(openSqliteRegistryStore(dbPath()));
    CRegistryKey key, k;
    ASSERT_TRUE(registry.openKey("order", kRegKeyAllAccess, nullptr, true, key));
    for (const char* name : {"a_", "ab", "A0", "\xc3\xa9t\xc3\xa9", "Ez"}) ASSERT_TRUE(key.openSubKey(name, kRegKeyAllAccess, true, k));
    EXPECT_EQ((std::vector<std::string>{"A0", "ab", "a_", "Ez", "\xc3\xa9t\xc3\xa9"}), subKeyNames(key));

    const std::vector<WString> samples = {u"a_", u"AB", u"\u00e9", u"\u00c9x", u"z", u"", u"\u00f7", u"\u00d7", u"abc", u"ab"};
    for (const WString& x : samples)
        for (const WString& y : samples) {
            int expected = platform::compareNoCase(x, y);
            int folded = registryFoldKey(x).compare(registryFoldKey(y));
            EXPECT_EQ(expected < 0, folded < 0) << platform::utf16ToUtf8(x) << " vs " << platform::utf16ToUtf8(y);
            EXPECT_EQ(expected == 0, folded == 0) << platform::utf16ToUtf8(x) << " vs " << platform::utf16ToUtf8(y);
        }
}

TEST_F(SqliteStoreTest, StoreThatCannotBeOpenedFailsQuietly) {
    CRegistry registry(openSqliteRegistryStore("/proc/velkaris-no-such-dir/registry.sqlite3"));
    CRegistryKey key;
    EXPECT_FALSE(registry.openKey("SOFTWARE", kRegKeyAllAccess, nullptr, true, key));
    EXPECT_FALSE(key.isValid());
}

TEST_F(SqliteStoreTest, DefaultPathIsTheStateDirectoryUnlessTheEnvironmentSaysOtherwise) {
    setRegistryStorePath("");
    unsetenv("VELKARIS_REGISTRY_DB");
    EXPECT_EQ("..\\state\\registry.sqlite3", registryStorePath());
    {
        CRegistry registry;
        CRegistryKey key;
        ASSERT_TRUE(registry.openKey("SOFTWARE\\x", kRegKeyAllAccess, nullptr, true, key));
    }
    EXPECT_TRUE(std::filesystem::exists(test_.scratchDirectory() + "/state/registry.sqlite3"));

    setenv("VELKARIS_REGISTRY_DB", dbPath("from-env.sqlite3").c_str(), 1);
    {
        CRegistry registry;
        CRegistryKey key;
        ASSERT_TRUE(registry.openKey("SOFTWARE\\x", kRegKeyAllAccess, nullptr, true, key));
    }
    unsetenv("VELKARIS_REGISTRY_DB");
    EXPECT_TRUE(std::filesystem::exists(dbPath("from-env.sqlite3")));

    setRegistryStorePath(dbPath("explicit.sqlite3"));
    EXPECT_EQ(dbPath("explicit.sqlite3"), registryStorePath());
}

// Children get a connection of their own; the parent's is never used after the fork.
void runChild(const std::string& path, int child) {
    CRegistry registry(openSqliteRegistryStore(path));
    CRegistryKey shared;
    if (!registry.openKey("SOFTWARE\\shared", kRegKeyAllAccess, nullptr, true, shared)) _exit(2);
    for (int i = 0; i < 40; ++i) {
        CRegistryKey own;
        std::string name = "c" + std::to_string(child) + "-" + std::to_string(i);
        if (!registry.openKey("SOFTWARE\\shared\\" + name, kRegKeyAllAccess, nullptr, true, own)) _exit(3);
        if (!own.setDword("i", static_cast<uint32_t>(i))) _exit(4);
        if (!shared.setDword(name, 1)) _exit(5);
        CRegistryKey common;
        if (!registry.openKey("SOFTWARE\\shared\\common", kRegKeyAllAccess, nullptr, true, common)) _exit(6);
    }
    _exit(0);
}

TEST_F(SqliteStoreTest, SeveralProcessesShareTheDatabase) {
    const std::string path = dbPath();
    constexpr int kChildren = 3;
    std::vector<pid_t> pids;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = fork();
        ASSERT_NE(-1, pid);
        if (pid == 0) runChild(path, c);
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
    EXPECT_EQ(static_cast<size_t>(kChildren * 40 + 1), subKeyNames(shared).size());
    // One value per child key in "shared" and one in each child key.
    EXPECT_EQ(static_cast<size_t>(kChildren * 40 * 2), dumpKeyTree(shared).size());
}

}  // namespace
