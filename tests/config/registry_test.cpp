// The registry layer's contract against the platform's store: the database natively, the registry under Wine.
#include <gtest/gtest.h>

#include "config/registry.h"
#include "support/config_recording_store.h"
#include "support/config_test_registry.h"

namespace {

// "found:value" of a query, with the default 7.
template <typename T>
std::string found(bool ok, const T& value) {  // by reference: read after the query
    return std::to_string(ok) + ":" + std::to_string(value);
}
std::string dword(const CRegistryKey& key, const char* name) {
    uint32_t v = 0;
    return found(key.queryDword(name, v, 7), v);
}

class RegistryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(registry_->openKey(test_.rootPath(), kRegKeyAllAccess, nullptr, true, base_)); }
    CRegistryKey sub(const std::string& path, bool create = true) {
        CRegistryKey k;
        EXPECT_TRUE(base_.openSubKey(path, kRegKeyAllAccess, create, k)) << path;
        return k;
    }

    ScopedTestRegistry test_;
    std::shared_ptr<RecordingRegistryStore> store_ = std::make_shared<RecordingRegistryStore>(systemRegistryStore());
    std::unique_ptr<CRegistry> registry_ = std::make_unique<CRegistry>(store_);
    CRegistryKey base_;
};

TEST_F(RegistryTest, PathsCreateEveryLevelKeepOnlyTheLastOpenAndFailWithoutLeavingAnything) {
    int before = store_->opened - store_->closed;
    CRegistryKey key;
    ASSERT_TRUE(registry_->openKey("first/second\\third", kRegKeyAllAccess, &base_, true, key));
    EXPECT_EQ("third", key.keyName());
    EXPECT_EQ(before + 1, store_->opened - store_->closed);
    EXPECT_EQ(2u, registry_->openKeyCount());
    EXPECT_TRUE(base_.openSubKey("first\\second/third", kRegKeyRead, false, key));
    EXPECT_EQ(std::vector<std::string>{"third"}, subKeyNames(sub("first\\second", false)));

    EXPECT_FALSE(base_.openSubKey("absent\\deeper", kRegKeyAllAccess, false, key));
    EXPECT_FALSE(key.isValid());
    EXPECT_FALSE(base_.openSubKey("first\\\\x", kRegKeyAllAccess, true, key)) << "empty component";
    EXPECT_FALSE(base_.openSubKey("", kRegKeyAllAccess, true, key));
    EXPECT_EQ(std::vector<std::string>{"first"}, subKeyNames(base_));
}

TEST_F(RegistryTest, CopiesShareOneKeyThatClosesWithTheLastCopyAndTheOutputMayBeTheParent) {
    CRegistryKey a = sub("a"), b = sub("b");
    const int closedBefore = store_->closed;
    a = b;  // releases "a"
    EXPECT_EQ(closedBefore + 1, store_->closed);
    EXPECT_EQ(2, b.useCount());
    ASSERT_TRUE(a.openSubKey("child", kRegKeyAllAccess, true, a));
    EXPECT_EQ("child", a.keyName());
    EXPECT_EQ(1, b.useCount());
    b = CRegistryKey();
    EXPECT_EQ(closedBefore + 2, store_->closed);
}

TEST_F(RegistryTest, QueriesCheckTheTypeAndGiveTheDefault) {
    const WString label = u"B\u00e4nd \u2603 \U0001F600" + WString(300, u'v');
    ASSERT_TRUE(base_.setString(u"text", u"12") && base_.setString(u"empty", u"") && base_.setString(u"label", label));
    ASSERT_TRUE(base_.setDword(u"number", 0xFFFFFFFFu) && base_.setQword("big", 0x0123456789ABCDEFull));
    ASSERT_TRUE(base_.setBinary(u"eight", {1, 2, 3, 4, 5, 6, 7, 8}) && base_.setBinary(u"seven", {1, 2, 3, 4, 5, 6, 7}));
    // Only the narrow qword query takes eight binary bytes; "d" is the text default.
    const struct {
        const char* name;
        const char *dword, *narrowQword, *wideQword, *text;
    } cases[] = {
        {"text", "0:7", "0:7", "0:7", "1:12"},
        {"empty", "0:7", "0:7", "0:7", "1:"},
        {"number", "1:4294967295", "0:7", "0:7", "0:d"},
        {"big", "0:7", "1:81985529216486895", "1:81985529216486895", "0:d"},
        {"eight", "0:7", "1:578437695752307201", "0:7", "0:d"},
        {"seven", "0:7", "0:7", "0:7", "0:d"},
        {"missing", "0:7", "0:7", "0:7", "0:d"},
    };
    for (const auto& c : cases) {
        uint64_t q = 0;
        WString t, wide = platform::utf8ToUtf16(c.name);
        EXPECT_EQ(c.dword, dword(base_, c.name)) << c.name;
        EXPECT_EQ(c.narrowQword, found(base_.queryQword(std::string(c.name), q, 7), q)) << c.name;
        EXPECT_EQ(c.wideQword, found(base_.queryQword(wide, q, 7), q)) << c.name;
        bool ok = base_.queryString(wide, t, u"d");
        EXPECT_EQ(c.text, std::to_string(ok) + ":" + platform::utf16ToUtf8(t)) << c.name;
    }
    WString text;
    EXPECT_TRUE(base_.queryString(u"label", text, u""));
    EXPECT_EQ(label, text);
}

TEST_F(RegistryTest, NamesIgnoreCaseEnumerateSortedAndOpenByIndexToTheEnd) {
    for (const char* name : {"beta", "Alpha", "GAMMA", "delta", "alpha2", "ALPHA"}) sub(name);
    EXPECT_EQ((std::vector<std::string>{"Alpha", "alpha2", "beta", "delta", "GAMMA"}), subKeyNames(base_));
    EXPECT_TRUE(base_.openSubKeyByIndex(4, kRegKeyAllAccess).setDword("x", 1)) << "GAMMA, with the rights asked";
    EXPECT_FALSE(base_.openSubKeyByIndex(5, kRegKeyRead).isValid());

    for (const char* name : {"mike", "MIKE"}) ASSERT_TRUE(base_.setDword(name, name[0]));  // M: 77
    WString name;
    EXPECT_TRUE(base_.valueName(0, name) && name == u"mike" && !base_.valueName(1, name)) << "one value, first name";
    EXPECT_EQ("1:77", dword(base_, "Mike"));
}

TEST_F(RegistryTest, DeletingAndHandlesThatMayNotOrCannotWrite) {
    ASSERT_TRUE(base_.setDword("value", 5) && base_.setDword("gone", 1));
    EXPECT_TRUE(base_.deleteValue(u"GONE"));
    EXPECT_FALSE(base_.deleteValue(u"gone"));
    CRegistryKey reader, out, doomed = sub("parent\\child");
    EXPECT_FALSE(base_.deleteSubKey("parent")) << "a key with sub keys stays";
    EXPECT_TRUE(sub("parent", false).deleteSubKey("CHILD"));
    EXPECT_FALSE(doomed.setDword("x", 1));
    EXPECT_FALSE(doomed.openSubKey("child", kRegKeyAllAccess, true, out));
    EXPECT_TRUE(base_.deleteSubKey("parent"));
    EXPECT_FALSE(base_.deleteSubKey("parent"));
    EXPECT_FALSE(base_.deleteSubKey(""));
    EXPECT_TRUE(subKeyNames(base_).empty());
    ASSERT_TRUE(registry_->openKey(test_.rootPath(), kRegKeyRead, nullptr, false, reader));
    EXPECT_EQ("1:5", dword(reader, "value"));
    EXPECT_FALSE(reader.setDword("value", 8));
    EXPECT_FALSE(reader.deleteValue(u"value"));
    EXPECT_FALSE(registry_->openKey("x", kRegKeyAllAccess, &out, true, out)) << "an invalid parent";
    // A handle that outlives its registry object becomes invalid.
    CRegistry(store_).openKey(test_.rootPath(), kRegKeyAllAccess, nullptr, false, out);
    EXPECT_FALSE(out.setDword("value", 2));
    EXPECT_EQ("1:5", dword(base_, "value"));
}

}  // namespace
