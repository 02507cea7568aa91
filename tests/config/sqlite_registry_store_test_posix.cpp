// What only the database store shows: that it persists, and that it orders names upper-cased as the
// Windows registry does.
#include <gtest/gtest.h>

#include "config/registry.h"
#include "config/sqlite_registry_store.h"
#include "support/capture_appender.h"
#include "support/config_test_registry.h"

TEST(SqliteStoreTest, PersistsAndOrdersNamesUpperCasedLikeWindows) {
    ScopedTestRegistry test;
    const std::string path = test.scratchDirectory() + "/store.sqlite3";
    {
        CRegistry registry(openSqliteRegistryStore(path));
        CRegistryKey key, k;
        ASSERT_TRUE(registry.openKey("SOFTWARE\\persist", kRegKeyAllAccess, nullptr, true, key));
        ASSERT_TRUE(key.setQword("q", 42));
        // '_' lies between 'Z' and 'a': upper-cased it sorts after the letters.
        for (const char* name : {"a_", "ab", "A0", "\xc3\xa9t\xc3\xa9", "Ez"})
            ASSERT_TRUE(key.openSubKey(name, kRegKeyAllAccess, true, k));
    }
    CRegistry registry(openSqliteRegistryStore(path));
    CRegistryKey key;
    ASSERT_TRUE(registry.openKey("software/PERSIST", kRegKeyRead, nullptr, false, key));
    EXPECT_EQ(qwordValue(42), rawValue(key, u"q"));
    EXPECT_EQ((std::vector<std::string>{"A0", "ab", "a_", "Ez", "\xc3\xa9t\xc3\xa9"}), subKeyNames(key));
    // A store that cannot be opened fails every call and says why once, with no further noise.
    CaptureAppender* log = CaptureAppender::install();
    CRegistry unopenable(openSqliteRegistryStore("/proc/velkaris-no-such-dir/registry.sqlite3"));
    for (int i = 0; i < 2; ++i) EXPECT_FALSE(unopenable.openKey("SOFTWARE", kRegKeyAllAccess, nullptr, true, key));
    EXPECT_EQ(log->count("Couldn't open registry store."), 1u);
    EXPECT_EQ(log->count("Registry store operation failed."), 0u);
    LogManager::shutdown();
}
