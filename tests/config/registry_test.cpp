// The registry layer's contract, run against the store of the platform: the SQLite database
// natively, the real registry under Wine.
#include <gtest/gtest.h>

#include <thread>

#include "config/registry.h"
#include "support/config_recording_store.h"
#include "support/config_test_registry.h"

namespace {

class RegistryTest : public testing::Test {
protected:
    void SetUp() override {
        store_ = std::make_shared<RecordingRegistryStore>(systemRegistryStore());
        registry_ = std::make_unique<CRegistry>(store_);
        ASSERT_TRUE(registry_->openKey(test_.rootPath(), kRegKeyAllAccess, nullptr, true, base_));
    }
    void TearDown() override {
        base_.close();
        registry_.reset();
    }

    ScopedTestRegistry test_;
    std::shared_ptr<RecordingRegistryStore> store_;
    std::unique_ptr<CRegistry> registry_;
    CRegistryKey base_;
};

TEST_F(RegistryTest, ThreeLevelPathWithBothSeparatorsCreatesEveryLevelAndKeepsOnlyTheLastOpen) {
    int before = store_->openHandles();
    CRegistryKey key;
    ASSERT_TRUE(registry_->openKey("first/second\\third", kRegKeyAllAccess, &base_, true, key));
    EXPECT_EQ("third", key.keyName());
    EXPECT_EQ(before + 1, store_->openHandles());
    EXPECT_EQ(2u, registry_->openKeyCount());

    CRegistryKey again;
    EXPECT_TRUE(base_.openSubKey("first\\second/third", kRegKeyRead, false, again));
    EXPECT_EQ(std::vector<std::string>{"first"}, subKeyNames(base_));
    CRegistryKey second;
    ASSERT_TRUE(base_.openSubKey("first\\second", kRegKeyRead, false, second));
    EXPECT_EQ(std::vector<std::string>{"third"}, subKeyNames(second));
}

TEST_F(RegistryTest, MissingPathWithoutCreateFailsAndLeavesNothingBehind) {
    CRegistryKey key;
    ASSERT_TRUE(base_.openSubKey("present", kRegKeyAllAccess, true, key));
    EXPECT_FALSE(base_.openSubKey("absent\\deeper", kRegKeyAllAccess, false, key));
    EXPECT_FALSE(key.isValid());
    EXPECT_EQ(std::vector<std::string>{"present"}, subKeyNames(base_));
    EXPECT_FALSE(base_.openSubKey("present\\\\x", kRegKeyAllAccess, true, key)) << "empty component";
    EXPECT_FALSE(base_.openSubKey("", kRegKeyAllAccess, true, key));
}

TEST_F(RegistryTest, CopiesShareOneKeyThatClosesWithTheLastCopy) {
    int closedBefore = store_->closedHandles();
    auto first = std::make_unique<CRegistryKey>();
    ASSERT_TRUE(base_.openSubKey("shared", kRegKeyAllAccess, true, *first));
    auto second = std::make_unique<CRegistryKey>(*first);
    EXPECT_EQ(2, second->useCount());
    EXPECT_EQ(2u, registry_->openKeyCount());

    first.reset();
    EXPECT_EQ(closedBefore, store_->closedHandles());
    EXPECT_EQ(1, second->useCount());
    EXPECT_TRUE(second->setDword("alive", 1));

    second.reset();
    EXPECT_EQ(closedBefore + 1, store_->closedHandles());
    EXPECT_EQ(1u, registry_->openKeyCount());
}

TEST_F(RegistryTest, AssignmentReleasesTheOldKeyAndSelfAssignmentKeepsIt) {
    CRegistryKey a, b;
    ASSERT_TRUE(base_.openSubKey("a", kRegKeyAllAccess, true, a));
    ASSERT_TRUE(base_.openSubKey("b", kRegKeyAllAccess, true, b));
    int closedBefore = store_->closedHandles();
    a = b;
    EXPECT_EQ(closedBefore + 1, store_->closedHandles());
    EXPECT_EQ("b", a.keyName());
    EXPECT_EQ(2, b.useCount());

    CRegistryKey& alias = a;
    a = alias;
    EXPECT_TRUE(a.setDword("still", 1));
    EXPECT_EQ(2, b.useCount());

    // The output handle may be the parent itself.
    ASSERT_TRUE(a.openSubKey("child", kRegKeyAllAccess, true, a));
    EXPECT_EQ("child", a.keyName());
    EXPECT_EQ(1, b.useCount());
}

TEST_F(RegistryTest, QueriesCheckTheTypeAndGiveTheDefault) {
    ASSERT_TRUE(base_.setString(u"text", u"12"));
    uint32_t dword = 0;
    EXPECT_FALSE(base_.queryDword("text", dword, 77));
    EXPECT_EQ(77u, dword);

    ASSERT_TRUE(base_.setDword(u"number", 0xFFFFFFFFu));
    EXPECT_TRUE(base_.queryDword("number", dword, 0));
    EXPECT_EQ(0xFFFFFFFFu, dword);
    WString text;
    EXPECT_FALSE(base_.queryString(u"number", text, u"fallback"));
    EXPECT_EQ(u"fallback", text);
    uint64_t qword = 0;
    EXPECT_FALSE(base_.queryQword(std::string("number"), qword, 5));
    EXPECT_EQ(5u, qword);

    ASSERT_TRUE(base_.setQword("big", 0x0123456789ABCDEFull));
    EXPECT_TRUE(base_.queryQword(WString(u"big"), qword, 0));
    EXPECT_EQ(0x0123456789ABCDEFull, qword);
    EXPECT_FALSE(base_.queryDword("big", dword, 3));

    EXPECT_FALSE(base_.queryDword("missing", dword, 9));
    EXPECT_EQ(9u, dword);

    ASSERT_TRUE(base_.setString(u"empty", u""));
    EXPECT_TRUE(base_.queryString(u"empty", text, u"x"));
    EXPECT_EQ(u"", text);
    EXPECT_EQ(stringValue(u""), rawValue(base_, u"empty")) << "stored with its terminator";
    const WString label = u"B\u00e4nd \u2603 \U0001F600" + WString(300, u'v');
    ASSERT_TRUE(base_.setString(u"label", label));
    EXPECT_TRUE(base_.queryString(u"label", text, u""));
    EXPECT_EQ(label, text);
}

TEST_F(RegistryTest, OnlyTheNarrowQwordQueryAcceptsEightBinaryBytes) {
    ASSERT_TRUE(base_.setBinary(u"eight", {1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(base_.setBinary(u"seven", {1, 2, 3, 4, 5, 6, 7}));
    uint64_t v = 0;
    EXPECT_TRUE(base_.queryQword(std::string("eight"), v, 0));
    EXPECT_EQ(0x0807060504030201ull, v);
    EXPECT_FALSE(base_.queryQword(WString(u"eight"), v, 11));
    EXPECT_EQ(11u, v);
    EXPECT_FALSE(base_.queryQword(std::string("seven"), v, 12));
    EXPECT_EQ(12u, v);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndEnumerateSortedIgnoringCase) {
    CRegistryKey k;
    for (const char* name : {"beta", "Alpha", "GAMMA", "delta", "alpha2"})
        ASSERT_TRUE(base_.openSubKey(name, kRegKeyAllAccess, true, k));
    ASSERT_TRUE(base_.openSubKey("ALPHA", kRegKeyAllAccess, true, k));
    EXPECT_EQ((std::vector<std::string>{"Alpha", "alpha2", "beta", "delta", "GAMMA"}), subKeyNames(base_));

    ASSERT_TRUE(base_.setDword("Zulu", 1));
    ASSERT_TRUE(base_.setDword("mike", 2));
    ASSERT_TRUE(base_.setDword("ALFA", 3));
    ASSERT_TRUE(base_.setDword("MIKE", 4));
    std::vector<WString> names;
    WString name;
    for (uint32_t i = 0; base_.valueName(i, name); ++i) names.push_back(name);
    EXPECT_EQ((std::vector<WString>{u"ALFA", u"mike", u"Zulu"}), names);
    uint32_t v = 0;
    EXPECT_TRUE(base_.queryDword("Mike", v, 0));
    EXPECT_EQ(4u, v);
}

TEST_F(RegistryTest, OpenByIndexFindsLongNamesAndStopsAtTheEnd) {
    const std::string longName = "a-sub-key-name-much-longer-than-four-characters-" + std::string(100, 'x');
    CRegistryKey k;
    ASSERT_TRUE(base_.openSubKey("zz", kRegKeyAllAccess, true, k));
    ASSERT_TRUE(base_.openSubKey(longName, kRegKeyAllAccess, true, k));
    CRegistryKey first = base_.openSubKeyByIndex(0, kRegKeyAllAccess);
    CRegistryKey second = base_.openSubKeyByIndex(1, kRegKeyAllAccess);
    EXPECT_EQ(longName, first.keyName());
    EXPECT_EQ("zz", second.keyName());
    EXPECT_TRUE(first.setDword("x", 1));
    EXPECT_FALSE(base_.openSubKeyByIndex(2, kRegKeyAllAccess).isValid());
}

TEST_F(RegistryTest, DeletingValuesAndSubKeys) {
    ASSERT_TRUE(base_.setDword("gone", 1));
    EXPECT_TRUE(base_.deleteValue(u"GONE"));
    EXPECT_FALSE(base_.deleteValue(u"gone"));

    for (const char* name : {"v1", "v2", "v3", "v4", "v5"}) ASSERT_TRUE(base_.setDword(name, 1));
    int deleted = 0;
    while (base_.deleteValueByIndex(0)) ++deleted;
    EXPECT_EQ(5, deleted);
    EXPECT_TRUE(dumpKeyTree(base_).empty());

    CRegistryKey k;
    ASSERT_TRUE(base_.openSubKey("parent\\child", kRegKeyAllAccess, true, k));
    k.close();
    EXPECT_FALSE(base_.deleteSubKey("parent")) << "a key with sub keys stays";
    CRegistryKey parent;
    ASSERT_TRUE(base_.openSubKey("parent", kRegKeyAllAccess, false, parent));
    EXPECT_TRUE(parent.deleteSubKey("child"));
    EXPECT_FALSE(parent.deleteSubKey("child"));
    parent.close();
    EXPECT_TRUE(base_.deleteSubKey("parent"));
    EXPECT_TRUE(subKeyNames(base_).empty());
    EXPECT_FALSE(base_.deleteSubKey(""));
}

TEST_F(RegistryTest, ReadOnlyHandleQueriesButDoesNotWrite) {
    ASSERT_TRUE(base_.setDword("value", 7));
    CRegistryKey reader;
    ASSERT_TRUE(registry_->openKey(test_.rootPath(), kRegKeyRead, nullptr, false, reader));
    uint32_t v = 0;
    EXPECT_TRUE(reader.queryDword("value", v, 0));
    EXPECT_EQ(7u, v);
    EXPECT_FALSE(reader.setDword("value", 8));
    EXPECT_FALSE(reader.deleteValue(u"value"));
    EXPECT_TRUE(base_.queryDword("value", v, 0));
    EXPECT_EQ(7u, v);
}

TEST_F(RegistryTest, InvalidHandleFailsEverything) {
    CRegistryKey none;
    EXPECT_FALSE(none.isValid());
    EXPECT_EQ("", none.keyName());
    uint32_t d = 0;
    EXPECT_FALSE(none.queryDword("x", d, 4));
    EXPECT_EQ(4u, d);
    EXPECT_FALSE(none.setDword("x", 1));
    EXPECT_FALSE(none.openSubKeyByIndex(0, kRegKeyRead).isValid());
    CRegistryKey out;
    EXPECT_FALSE(registry_->openKey("x", kRegKeyAllAccess, &none, true, out));
}

TEST_F(RegistryTest, HandleOfADeletedKeyFails) {
    CRegistryKey doomed;
    ASSERT_TRUE(base_.openSubKey("doomed", kRegKeyAllAccess, true, doomed));
    ASSERT_TRUE(base_.deleteSubKey("doomed"));
    EXPECT_FALSE(doomed.setDword("x", 1));
    CRegistryKey child;
    EXPECT_FALSE(doomed.openSubKey("child", kRegKeyAllAccess, true, child));
    EXPECT_TRUE(subKeyNames(base_).empty());
}

TEST_F(RegistryTest, HandleOutlivingItsRootBecomesInvalid) {
    CRegistryKey survivor;
    {
        CRegistry shortLived(store_);
        ASSERT_TRUE(shortLived.openKey(test_.rootPath(), kRegKeyAllAccess, nullptr, false, survivor));
        CRegistryKey copy = survivor;
        EXPECT_TRUE(copy.setDword("x", 1));
    }
    EXPECT_FALSE(survivor.isValid());
    EXPECT_FALSE(survivor.setDword("x", 2));
    uint32_t v = 0;
    EXPECT_TRUE(base_.queryDword("x", v, 0));
    EXPECT_EQ(1u, v);
}

TEST_F(RegistryTest, ThreadsShareOneKey) {
    constexpr int kThreads = 4;
    constexpr int kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kValues; ++i) {
                std::string name = "t" + std::to_string(t) + "v" + std::to_string(i);
                base_.setDword(name, static_cast<uint32_t>(t * 1000 + i));
                CRegistryKey copy = base_;
                uint32_t v = 0;
                copy.queryDword(name, v, 0);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(static_cast<size_t>(kThreads * kValues), dumpKeyTree(base_).size());
    uint32_t v = 0;
    EXPECT_TRUE(base_.queryDword("t3v24", v, 0));
    EXPECT_EQ(3024u, v);
}

}  // namespace
