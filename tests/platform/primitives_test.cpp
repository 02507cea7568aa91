#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <type_traits>

#include "logging/exception_log.h"
#include "platform/clock.h"
#include "platform/dfrg_exception.h"
#include "platform/event.h"
#include "platform/text.h"
#include "support/capture_appender.h"

using platform::Event;

TEST(EventTest, ManualStaysSetAutoIsConsumedAndWaitAnyPrefersTheFirst) {
    Event a(Event::Reset::Manual), b(Event::Reset::Auto, true);
    EXPECT_FALSE(a.wait(0));
    a.set();
    EXPECT_EQ(Event::waitAny({&a, &b}, 0), 0);
    EXPECT_TRUE(a.wait(0));  // stays set
    a.reset();
    EXPECT_TRUE(b.wait(0));
    EXPECT_FALSE(b.wait(10));  // consumed
    b.set();
    EXPECT_EQ(Event::waitAny({&a, &b}, 0), 1);
    EXPECT_EQ(Event::waitAny({&a, &b}, 20), -1);  // consumed by the wait
    std::thread setter([&] {
        platform::sleepMs(20);
        b.set();
    });
    EXPECT_EQ(Event::waitAny({&a, &b}), 1);
    setter.join();
}

TEST(TextTest, Utf8AndUtf16RoundTripAndDamagedInput) {
    std::string text = "C:\\d\xc3\xa9j\xc3\xa0 \xf0\x9f\x98\x80.txt";
    WString wide = platform::utf8ToUtf16(text);
    EXPECT_EQ(wide, u"C:\\d\u00e9j\u00e0 \U0001F600.txt");
    EXPECT_EQ(platform::utf16ToUtf8(wide), text);
    EXPECT_EQ(platform::utf8ToUtf16("a\xff" "b\xe2\x82"), u"a\uFFFDb\uFFFD");
    EXPECT_EQ(platform::utf8ToUtf16("\xc0\xaf"), u"\uFFFD\uFFFD");  // overlong form
    EXPECT_EQ(platform::utf16ToUtf8(WString(1, char16_t(0xD800)) + u"x"), "\xef\xbf\xbdx");
}

// No standard handler may catch it.
static_assert(!std::is_base_of<std::exception, CDfrgException>::value, "");

TEST(DfrgExceptionTest, LoggedWithCodeAndMessageProperties) {
    CaptureAppender* log = CaptureAppender::install();
    {
        LogScope scope("init");
        logDfrgException(scope, "DfrgException occured", CDfrgException(-1, static_cast<const char*>(nullptr)));
    }
    auto e = log->entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(std::to_string(e[0].priority) + " " + e[0].text, "700 DfrgException occured");
    ASSERT_EQ(e[0].properties.size(), 2u);
    EXPECT_EQ(e[0].properties[0].name + "=" + e[0].properties[0].value + " " + e[0].properties[1].name + "=" +
                  e[0].properties[1].value, "ErrorCode=-1 ErrorMessage=");
    LogManager::shutdown();
}
