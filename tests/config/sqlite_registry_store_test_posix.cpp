// What only the database store shows: where it lives, that it persists, and that it orders names
// upper-cased as the Windows registry does.
#include <gtest/gtest.h>

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
}

TEST_F(SqliteStoreTest, PathComesFromTheSetterTheEnvironmentOrTheStateDirectory) {
    CRegistryKey key;
    CRegistry unopenable(openSqliteRegistryStore("/proc/velkaris-no-such-dir/registry.sqlite3"));
    EXPECT_FALSE(createKey(unopenable, "SOFTWARE", key));
    setRegistryStorePath("");
    unsetenv("VELKARIS_REGISTRY_DB");
    EXPECT_EQ("..\\state\\registry.sqlite3", registryStorePath());
    EXPECT_TRUE(CRegistry().openKey("SOFTWARE\\x", kRegKeyAllAccess, nullptr, true, key));
    EXPECT_TRUE(std::filesystem::exists(test_.scratchDirectory() + "/state/registry.sqlite3"));
    setenv("VELKARIS_REGISTRY_DB", dbPath("env.sqlite3").c_str(), 1);
    EXPECT_TRUE(CRegistry().openKey("SOFTWARE\\x", kRegKeyAllAccess, nullptr, true, key));
    unsetenv("VELKARIS_REGISTRY_DB");
    EXPECT_TRUE(std::filesystem::exists(dbPath("env.sqlite3")));
    setRegistryStorePath(dbPath("explicit.sqlite3"));
    EXPECT_EQ(dbPath("explicit.sqlite3"), registryStorePath());
}

}  // namespace
