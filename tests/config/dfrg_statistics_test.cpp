#include "config/dfrg_statistics.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/product_key.h"
#include "support/config_test_registry.h"
#include "support/fake_clock.h"

namespace {

std::string counterValues(uint64_t p, uint64_t m, uint64_t d) {
    return qwordValue(p) + "," + qwordValue(m) + "," + qwordValue(d);
}

class DfrgStatisticsTest : public testing::Test {
protected:
    CRegistryKey key(const std::string& sub, bool create = false) {
        CRegistryKey k;
        registry_.openKey(productKeyPath() + "\\statistics" + (sub.empty() ? "" : "\\" + sub), kRegKeyAllAccess,
                          nullptr, create, k);
        return k;
    }
    std::string counters(const std::string& sub) {
        CRegistryKey k = key(sub);
        return rawValue(k, u"Processed Files") + "," + rawValue(k, u"Moved Files") + "," +
               rawValue(k, u"Defragged Files");
    }

    ScopedTestRegistry test_;
    FakeClock clock_;
    CRegistry registry_;
};

TEST_F(DfrgStatisticsTest, CountsReachAllThreeSetsAtASaveSurviveAResetOfThePassAndALoadContinuesFromThem) {
    {
        CDfrgStatistics stats;
        stats.addProcessed(3);
        stats.addMoved(2);
        stats.addDefragged(1);
        stats.save(false);
        for (const char* sub : {"", "complete", "daily\\2024-03-03"}) EXPECT_EQ(counterValues(3, 2, 1), counters(sub));
        EXPECT_EQ("", rawValue(key(""), u"Status")) << "unchanged status is not written";
        // A reset of the pass saves at once and keeps the day and the total; the end saves nothing.
        stats.addProcessed(1);
        stats.resetCurrent();
        stats.addDefragged(1);
    }
    EXPECT_EQ(counterValues(0, 0, 0), counters(""));
    EXPECT_EQ(counterValues(4, 2, 1), counters("complete"));
    EXPECT_EQ(counterValues(4, 2, 1), counters("daily\\2024-03-03"));
    ASSERT_TRUE(key("").setQword("Processed Files", 10) && key("").setBinary(u"Moved Files", {9, 0, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(key("complete").setQword("Processed Files", 100));
    CRegistryKey today = key("daily\\2024-03-03");
    ASSERT_TRUE(today.setQword("Processed Files", 20) && today.setBinary(u"Moved Files", {5, 0, 0, 0, 0, 0, 0, 0}));
    CDfrgStatistics stats;
    EXPECT_EQ(10u, stats.current().processed);
    EXPECT_EQ(0u, stats.current().moved) << "the pass counters take REG_QWORD only";
    EXPECT_EQ(100u, stats.complete().processed);
    EXPECT_EQ(5u, stats.daily().moved) << "a day's key also takes eight binary bytes";
}

TEST_F(DfrgStatisticsTest, SavesAtMostOnceASecondAndADayChangeBooksEarlierCountsOnTheOldDay) {
    clock_.setDate(2024, 2, 28);
    clock_.tick_ = 0xFFFFFE00u;  // the tick wraps within the first second
    CDfrgStatistics stats;
    stats.save(true);
    stats.addProcessed(2);
    stats.addDefragged(1);
    ASSERT_TRUE(key("daily\\2024-02-29", true).setQword("Processed Files", 7));
    clock_.setDate(2024, 2, 29);
    clock_.tick_ += 1000;
    stats.save(false);
    EXPECT_EQ(counterValues(0, 0, 0), counters("")) << "exactly a second is too soon";

    // A save within a minute does not look at the date: the counts stay on the open day.
    clock_.tick_ += 1000;
    stats.save(false);
    EXPECT_EQ(counterValues(2, 0, 1), counters("daily\\2024-02-28"));
    EXPECT_EQ(qwordValue(7), rawValue(key("daily\\2024-02-29"), u"Processed Files"));

    stats.addProcessed(4);
    clock_.tick_ += 60001;
    stats.save(false);
    EXPECT_EQ(counterValues(6, 0, 1), counters("daily\\2024-02-28"));
    EXPECT_EQ(counterValues(7, 0, 0), counters("daily\\2024-02-29"));
    stats.addMoved(1);
    stats.save(true);
    EXPECT_EQ(counterValues(7, 1, 0), counters("daily\\2024-02-29"));
}

TEST_F(DfrgStatisticsTest, CleanupKeepsTodayAndTheSevenDaysBefore) {
    // Today is 2024-03-03; the days before reach back across the leap day into February.
    std::vector<std::string> days = {"2024-03-03", "2024-03-02", "2024-03-01", "2024-02-29", "2024-02-28", "2024-02-27",
                                     "2024-02-26", "2024-02-25", "2024-02-24", "2024-02-23", "2024-02-22"};
    const std::vector<std::string> others = {"2024-03-09", "notes", "abcdefghij", "2024-13-01", "2024-02-0x"};
    for (const std::string& d : days) ASSERT_TRUE(key("daily\\" + d, true).isValid());
    for (const std::string& d : others) ASSERT_TRUE(key("daily\\" + d, true).isValid());
    CDfrgStatistics stats;
    stats.addProcessed(1);
    days.resize(8);  // today and the seven days before
    days.insert(days.end(), others.begin(), others.end());
    std::sort(days.begin(), days.end(),
              [](const std::string& a, const std::string& b) { return platform::asciiLower(a) < platform::asciiLower(b); });
    EXPECT_EQ(days, subKeyNames(key("daily")));
}

TEST_F(DfrgStatisticsTest, StatusRulesAndResetAllLeavesOnlyZeroCounters) {
    CDfrgStatistics stats;
    stats.setActive(false);
    EXPECT_EQ(3, stats.getStatus());
    stats.setStatus(-2);
    stats.setLastFile(u"C:\\dir\\f\u00e4.txt");
    stats.save(true);
    EXPECT_EQ(dwordValue(0xFFFFFFFEu), rawValue(key(""), u"Status"));
    EXPECT_EQ(stringValue(u"C:\\dir\\f\u00e4.txt"), rawValue(key(""), u"Last File"));
    stats.setStatus(4);
    stats.save(true);
    // Status 4 outlasts both kinds of setActive, and nothing is marked for writing.
    ASSERT_TRUE(key("").setDword("Status", 99) && key("").setDword("Foreign", 1));
    stats.setActive(false);
    stats.setActive(true);
    EXPECT_EQ(4, stats.getStatus());
    stats.save(true);
    EXPECT_EQ(dwordValue(99), rawValue(key(""), u"Status"));
    stats.resetAll();
    EXPECT_EQ("", rawValue(key(""), u"Status")) << "values go at once";
    stats.save(true);
    std::map<std::string, std::string> zero;
    for (const char* sub : {"", "complete", "daily\\2024-03-03"})
        for (const char* name : {"|Processed Files", "|Moved Files", "|Defragged Files"}) zero[sub + std::string(name)] = qwordValue(0);
    EXPECT_EQ(zero, dumpKeyTree(key("")));
}

}  // namespace
