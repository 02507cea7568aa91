#include <gtest/gtest.h>

#include <thread>

#include "logging/log.h"
#include "logging/log_components.h"
#include "support/capture_appender.h"

TEST(LogPriorityTest, DisplayNamesCoverBandsOffsetsAndInvalidValues) {
    EXPECT_EQ(priorityDisplayName(100), "Informal");
    EXPECT_EQ(priorityDisplayName(700), "Error");
    EXPECT_EQ(priorityDisplayName(705), "Error+5");
    EXPECT_EQ(priorityDisplayName(999), "Notice+99");
    EXPECT_EQ(priorityDisplayName(99), "Invalid(99)");
    EXPECT_EQ(priorityDisplayName(1000), "Invalid(1000)");
    EXPECT_EQ(priorityDisplayName(-5), "Invalid(-5)");
}

TEST(LogPriorityTest, ConfigurationNamesWithOffsets) {
    EXPECT_EQ(parseLogPriority("DBG"), 200);
    EXPECT_EQ(parseLogPriority("ERR"), 700);
    EXPECT_EQ(parseLogPriority("ERR+5"), 705);
    EXPECT_EQ(parseLogPriority("WARNING+150"), 899);  // offsets above 99 count as 99
    EXPECT_EQ(parseLogPriority("NOTSET"), 1000);
    EXPECT_EQ(parseLogPriority("err"), 1000);  // names are exact
    EXPECT_EQ(parseLogPriority("Informal"), 1000);
    EXPECT_EQ(parseLogPriority(""), 1000);
    EXPECT_EQ(parseLogPriority("ALERT+99999999999999999999"), 599);
}

class LogMessageTest : public ::testing::Test {
protected:
    void SetUp() override { capture = CaptureAppender::install(); }
    void TearDown() override { LogManager::shutdown(); }
    CaptureAppender* capture = nullptr;
};

TEST_F(LogMessageTest, OnlyMessagesWithTextAreDelivered) {
    LogScope scope("op");
    LogMessage(scope, 700).prop("ErrorCode", 5);
    LogMessage(scope, LogPriority::NotSet).text("never");
    LogMessage(scope, 700).text("").prop("ErrorCode", 5);  // an empty piece still counts as written text
    LogMessage(scope, 100).text("count ").text(42).text(" of ").text(uint64_t(18446744073709551615ull));
    auto entries = capture->entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].text, "count 42 of 18446744073709551615");
}

TEST_F(LogMessageTest, ScopePathJoinsEnclosingScopesAndCategories) {
    LogCategory mainCategory("main");
    {
        LogScope outer("serviceWork");
        LogScope inner("defragSmart");
        logText(inner, 100, "a");
        logText(outer, 100, "b");          // an enclosing scope shows only its own ancestry
        logText(mainCategory, 100, "c");   // a category sits below the open scopes
    }
    logText(mainCategory, 100, "d");
    auto e = capture->entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].scopePath, "serviceWork.defragSmart");
    EXPECT_EQ(e[1].scopePath, "serviceWork");
    EXPECT_EQ(e[2].scopePath, "serviceWork.defragSmart.main");
    EXPECT_EQ(e[3].scopePath, "main");
}

TEST_F(LogMessageTest, ScopesArePoppedWhenAnExceptionPasses) {
    try {
        LogScope failing("failing");
        throw 1;
    } catch (int) {
    }
    LogScope after("after");
    logText(after, 100, "x");
    EXPECT_EQ(capture->entries().at(0).scopePath, "after");
}

namespace {
std::string layoutOf(const LogSettings& settings, const std::function<void(LogMessage&)>& fill, int priority = 700) {
    CSimpleLayout layout;
    layout.applySettings(settings);
    LogScope scope("scope");
    std::string out;
    {
        LogMessage m(scope, priority);
        fill(m);
        out = layout.format(m);
        m.text("");  // keep the capture quiet is not needed; message is delivered harmlessly
    }
    return out;
}
}  // namespace

TEST_F(LogMessageTest, SimpleLayoutGroupsAndProperties) {
    auto fill = [](LogMessage& m) { m.text("Exception occured").prop("ErrorCode", -2).prop("ErrorMessage", ""); };
    EXPECT_EQ(layoutOf({}, fill), "scope: -> Exception occured");
    EXPECT_EQ(layoutOf({{"includeProperties", "true"}}, fill),
              "scope: -> Exception occured\nErrorCode: -2\nErrorMessage: \n");
    EXPECT_EQ(layoutOf({{"includePriorities", "1"}}, fill, 705), "(Error+5) scope: -> Exception occured");

    setLogThreadName("");
    EXPECT_EQ(layoutOf({{"includeThread", "true"}}, fill), "scope: -> Exception occured");  // no empty group
    setLogThreadName("WorkThread");
    EXPECT_EQ(layoutOf({{"includeThread", "true"}, {"includePriorities", "true"}}, fill),
              "(WorkThread)(Error) scope: -> Exception occured");
    setLogThreadName("");

    std::string timed = layoutOf({{"includeTime", "true"}, {"includeTime/timeformat", "%ms"}}, fill);
    // "(hh:mm:ss.m)" written straight before the scope path.
    const std::string tail = ")scope: -> Exception occured";
    ASSERT_GT(timed.size(), tail.size() + 10) << timed;
    EXPECT_EQ(timed.substr(timed.size() - tail.size()), tail) << timed;
    EXPECT_EQ(timed[0], '(');
    EXPECT_EQ(timed[3], ':');
    EXPECT_EQ(timed[6], ':');
    EXPECT_EQ(timed[9], '.');
}

TEST_F(LogMessageTest, NestedPropertiesAreIndentedOneBlankPerLevel) {
    auto fill = [](LogMessage& m) {
        LogPropertyList info;
        info.add("Action", "Write").add("Address", 0);
        LogPropertyList record;
        record.add("Code", 3221225477u).add("ExceptionInformation", std::move(info));
        m.text("crash").prop("ExceptionRecord", std::move(record));
    };
    EXPECT_EQ(layoutOf({{"includeProperties", "true"}}, fill),
              "scope: -> crash\nExceptionRecord: \n Code: 3221225477\n ExceptionInformation: \n  Action: Write\n  Address: 0\n");
}

TEST(LogLayoutTest, TimeFormats) {
    platform::LocalTime t;
    t.year = 2026;
    t.month = 3;
    t.day = 7;
    t.hour = 9;
    t.minute = 5;
    t.second = 4;
    t.millisecond = 7;
    EXPECT_EQ(CSimpleLayout::formatTime("%ms", t), "09:05:04.7");
    EXPECT_EQ(CSimpleLayout::formatTime("%Y-%m-%d %H:%M:%S", t), "2026-03-07 09:05:04");
}

TEST(LogFilterTest, PriorityFilterModes) {
    LogScope scope("s");
    auto accepts = [&](const LogSettings& settings, int priority) {
        CPriorityFilter filter;
        filter.applySettings(settings);
        LogMessage m(scope, priority);
        return filter.accepts(m);
    };
    EXPECT_TRUE(accepts({{"priority", "ERR"}}, 700));
    EXPECT_FALSE(accepts({{"priority", "ERR"}}, 712));
    EXPECT_TRUE(accepts({{"priority", "ERR"}, {"complete", "1"}}, 712));
    EXPECT_TRUE(accepts({{"priority", "ERR"}, {"complete", "1"}}, 799));
    EXPECT_FALSE(accepts({{"priority", "ERR"}, {"complete", "1"}}, 800));
    EXPECT_FALSE(accepts({{"priority", "ERR"}, {"complete", "yes"}}, 712));  // only "true" and "1" are true
    EXPECT_TRUE(accepts({}, 200));                                          // default priority DBG
    EXPECT_FALSE(accepts({{"priority", "DBG"}, {"mode", "deny"}}, 200));
    EXPECT_TRUE(accepts({{"priority", "DBG"}, {"mode", "deny"}}, 100));
    EXPECT_TRUE(accepts({{"priority", "DBG"}, {"mode", "deny"}}, 205));
    EXPECT_FALSE(accepts({{"priority", "DBG"}, {"mode", "accept"}}, 205));
}

TEST(LogFileNameTest, PostfixAndTimeStamp) {
    EXPECT_EQ(CFileAppender::composeFileName("log.txt", "_2"), "log_2.txt");
    EXPECT_EQ(CFileAppender::composeFileName("a.b.txt", "_2"), "a.b_2.txt");
    EXPECT_EQ(CFileAppender::composeFileName("logfile", "_2"), "logfile");
    EXPECT_EQ(CFileAppender::composeFileName("..\\log\\logfile", "_2"), "..\\log\\logfile");  // the dots of ".." are no extension
    EXPECT_EQ(CFileAppender::composeFileName("..\\log\\log.txt", ""), "..\\log\\log.txt");
    platform::LocalTime t;
    t.year = 2026;
    t.month = 1;
    t.day = 2;
    t.hour = 3;
    t.minute = 4;
    t.second = 5;
    EXPECT_EQ(CFileAppender::timeStampedFileName("..\\log\\log.txt", t), "..\\log\\log_20260102_030405.txt");
    EXPECT_EQ(CFileAppender::timeStampedFileName("log", t), "log_20260102_030405");
}
