#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/text.h"

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
