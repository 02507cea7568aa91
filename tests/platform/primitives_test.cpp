#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/text.h"

using platform::Event;

TEST(EventTest, ManualAndAutoReset) {
    Event manual(Event::Reset::Manual), autoReset(Event::Reset::Auto, true);
    EXPECT_FALSE(manual.wait(0));
    manual.set();
    EXPECT_TRUE(manual.wait(0));
    EXPECT_TRUE(manual.wait(0));  // stays set
    manual.reset();
    EXPECT_FALSE(manual.wait(10));
    EXPECT_TRUE(autoReset.wait(0));
    EXPECT_FALSE(autoReset.wait(0));  // consumed
}

TEST(EventTest, WaitAnyPrefersTheFirstAndWakesAcrossThreads) {
    Event a(Event::Reset::Manual), b(Event::Reset::Auto);
    b.set();
    a.set();
    EXPECT_EQ(Event::waitAny({&a, &b}, 0), 0);
    a.reset();
    EXPECT_EQ(Event::waitAny({&a, &b}, 0), 1);
    EXPECT_EQ(Event::waitAny({&a, &b}, 20), -1);
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

TEST(TextTest, CaseRules) {
    EXPECT_EQ(platform::asciiLower(std::string("-START\xc3\x89")), "-start\xc3\x89");  // ASCII letters only
    EXPECT_EQ(platform::compareNoCase(u"abc", u"ABC"), 0);
    EXPECT_LT(platform::compareNoCase(u"C:", u"d:"), 0);
    EXPECT_LT(platform::compareNoCase(u"ab", u"abc"), 0);
    // Upper-case comparison puts '_' (0x5F) after letters, as the Windows registry orders names.
    EXPECT_GT(platform::compareNoCase(u"a_", u"ab"), 0);
}
