#include <gtest/gtest.h>

#include "logging/log.h"
#include "logging/log_components.h"
#include "support/capture_appender.h"

TEST(LogPriorityTest, DisplayAndConfigurationNamesWithOffsets) {
    const std::pair<int, const char*> shown[] = {{100, "Informal"},    {700, "Error"},          {705, "Error+5"},
                                                 {999, "Notice+99"},   {99, "Invalid(99)"},     {1000, "Invalid(1000)"},
                                                 {-5, "Invalid(-5)"}};
    for (const auto& [priority, name] : shown) EXPECT_EQ(priorityDisplayName(priority), name);
    const std::pair<const char*, int> parsed[] = {
        {"DBG", 200},     {"ERR+5", 705}, {"WARNING+150", 899},  // offsets above 99 count as 99
        {"NOTSET", 1000}, {"err", 1000},  {"Informal", 1000},    {"", 1000}, {"ALERT+99999999999999999999", 599}};
    for (const auto& [text, priority] : parsed) EXPECT_EQ(parseLogPriority(text), priority) << text;
}

class LogMessageTest : public ::testing::Test {
protected:
    void SetUp() override { capture = CaptureAppender::install(); }
    void TearDown() override { LogManager::shutdown(); }
    static std::string layoutOf(const LogSettings& settings, int priority = 700) {
        CSimpleLayout layout;
        layout.applySettings(settings);
        LogScope scope("scope");
        LogMessage m(scope, priority);
        m.text("Exception occured");
        return layout.format(m);
    }
    CaptureAppender* capture = nullptr;
};

TEST_F(LogMessageTest, OnlyMessagesWithTextAreDeliveredUnderTheirScopePath) {
    LogCategory mainCategory("main");
    try {
        LogScope failing("failing");  // popped when the exception passes
        throw 1;
    } catch (int) {
    }
    {
        LogScope outer("serviceWork");
        LogScope inner("defragSmart");
        LogMessage(inner, 700).prop("ErrorCode", 5);
        LogMessage(inner, LogPriority::NotSet).text("never");
        LogMessage(inner, 100).text("count ").text(42).text(" of ").text(uint64_t(18446744073709551615ull));
        LogMessage(outer, 700).text("").prop("ErrorCode", 5);  // an empty piece still counts as text
        logText(mainCategory, 100, "c");                       // a category sits below the open scopes
    }
    logText(mainCategory, 100, "d");
    auto e = capture->entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_EQ(e[0].text, "count 42 of 18446744073709551615");
    EXPECT_EQ(e[0].scopePath, "serviceWork.defragSmart");
    EXPECT_EQ(e[1].scopePath, "serviceWork");  // an enclosing scope shows only its own ancestry
    EXPECT_EQ(e[2].scopePath, "serviceWork.defragSmart.main");
    EXPECT_EQ(e[3].scopePath, "main");
}

TEST_F(LogMessageTest, SimpleLayoutGroupsAndProperties) {
    EXPECT_EQ(layoutOf({}), "scope: -> Exception occured");
    EXPECT_EQ(layoutOf({{"includePriorities", "1"}}, 705), "(Error+5) scope: -> Exception occured");
    setLogThreadName("");
    EXPECT_EQ(layoutOf({{"includeThread", "true"}}), "scope: -> Exception occured");  // no empty group
    const std::string timed = layoutOf({{"includeTime", "true"}, {"includeTime/timeformat", "%ms"}});
    EXPECT_EQ(timed[9], '.') << timed;  // "(hh:mm:ss.m)" straight before the scope path
    EXPECT_EQ(timed.substr(timed.find(')')), ")scope: -> Exception occured");

    CSimpleLayout layout;
    layout.applySettings({{"includeProperties", "true"}});
    LogScope scope("scope");
    LogMessage m(scope, 700);
    LogPropertyList info, record;
    info.add("Action", "Write").add("Address", 0).add("Load", 500.0).add("Share", 0.1).add("Tiny", 2e-7);
    record.add("Code", 3221225477u).add("ExceptionInformation", std::move(info));
    m.text("crash").prop("ExceptionRecord", std::move(record));
    EXPECT_EQ(layout.format(m), "scope: -> crash\nExceptionRecord: \n Code: 3221225477\n"  // one blank per level
                                " ExceptionInformation: \n  Action: Write\n  Address: 0\n  Load: 500\n  Share: 0.1\n  Tiny: 2e-07\n");
}

TEST(LogFilterTest, PriorityFilterModes) {
    LogScope scope("s");
    const struct {
        LogSettings settings;
        int priority;
        bool accepted;
    } cases[] = {
        {{{"priority", "ERR"}}, 700, true},
        {{{"priority", "ERR"}}, 712, false},
        {{{"priority", "ERR"}, {"complete", "1"}}, 712, true},
        {{{"priority", "ERR"}, {"complete", "yes"}}, 712, false},  // only "true" and "1" are true
        {{}, 200, true},                                            // default priority DBG
        {{{"priority", "DBG"}, {"mode", "deny"}}, 200, false},
        {{{"priority", "DBG"}, {"mode", "deny"}}, 205, true},
        {{{"priority", "DBG"}, {"mode", "accept"}}, 205, false},
    };
    for (const auto& c : cases) {
        CPriorityFilter filter;
        filter.applySettings(c.settings);
        LogMessage m(scope, c.priority);
        EXPECT_EQ(filter.accepts(m), c.accepted) << c.priority;
    }
}

TEST(LogLayoutTest, TimeFormatsAndFileNames) {
    platform::LocalTime t;
    t.year = 2026, t.month = 3, t.day = 7, t.hour = 9, t.minute = 5, t.second = 4, t.millisecond = 7;
    EXPECT_EQ(CSimpleLayout::formatTime("%ms", t), "09:05:04.7");
    EXPECT_EQ(CSimpleLayout::formatTime("%Y-%m-%d %H:%M:%S", t), "2026-03-07 09:05:04");
    EXPECT_EQ(CFileAppender::timeStampedFileName("..\\log\\log.txt", t), "..\\log\\log_20260307_090504.txt");
    EXPECT_EQ(CFileAppender::timeStampedFileName("log", t), "log_20260307_090504");
    EXPECT_EQ(CFileAppender::composeFileName("a.b.txt", "_2"), "a.b_2.txt");
    EXPECT_EQ(CFileAppender::composeFileName("..\\log\\logfile", "_2"), "..\\log\\logfile");  // ".." is no extension
    EXPECT_EQ(CFileAppender::composeFileName("..\\log\\log.txt", ""), "..\\log\\log.txt");
}
