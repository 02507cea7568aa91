#include <gtest/gtest.h>

#include "platform/state_file.h"
#include "support/temp_dir.h"

using platform::StateFileReader;
using platform::StateFileWriter;

namespace {
WString widePath(const TempDir& dir, const std::string& name) { return platform::utf8ToUtf16(dir.file(name)); }
}  // namespace

TEST(StateFileTest, PrimitivesRoundTripInTheirDocumentedLayout) {
    TempDir dir;
    WString path = widePath(dir, "state");
    StateFileWriter w;
    ASSERT_TRUE(w.open(path));
    EXPECT_TRUE(w.writeI32(3));
    EXPECT_TRUE(w.writeWString(u"C:\\a"));
    EXPECT_TRUE(w.writeU64(0x0102030405060708ull));
    EXPECT_TRUE(w.writeBool(true));
    EXPECT_TRUE(w.writeWString(u"\u00e9\U0001F600"));
    ASSERT_TRUE(w.commit());

    std::string bytes = readWholeFile(dir.file("state"));
    // A four-character string is its count and four code units: 12 bytes.
    ASSERT_EQ(bytes.size(), 4u + 12u + 8u + 1u + 4u + 6u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(bytes.substr(4, 12), std::string("\x04\0\0\0C\0:\0\\\0a\0", 12));
    EXPECT_EQ(bytes.substr(16, 8), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));

    StateFileReader r;
    ASSERT_TRUE(r.open(path));
    int32_t version;
    WString s1, s2;
    uint64_t big;
    bool flag;
    ASSERT_TRUE(r.readI32(version) && r.readWString(s1) && r.readU64(big) && r.readBool(flag) && r.readWString(s2));
    EXPECT_EQ(version, 3);
    EXPECT_EQ(s1, u"C:\\a");
    EXPECT_EQ(big, 0x0102030405060708ull);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s2, u"\u00e9\U0001F600");
    uint32_t more;
    EXPECT_FALSE(r.readU32(more));  // end of file
}

TEST(StateFileTest, DamagedCountsAndShortFilesAreRefused) {
    TempDir dir;
    writeWholeFile(dir.file("huge"), std::string("\xff\xff\xff\x7f", 4) + "abcd");
    StateFileReader r;
    ASSERT_TRUE(r.open(widePath(dir, "huge")));
    WString s;
    EXPECT_FALSE(r.readWString(s));  // two gigabytes asked for: refused before any allocation

    writeWholeFile(dir.file("short"), std::string("\x05\0\0\0a\0b\0", 8));
    StateFileReader shortReader;
    ASSERT_TRUE(shortReader.open(widePath(dir, "short")));
    EXPECT_FALSE(shortReader.readWString(s));

    writeWholeFile(dir.file("bool"), std::string("\x02", 1));
    StateFileReader boolReader;
    ASSERT_TRUE(boolReader.open(widePath(dir, "bool")));
    bool b;
    EXPECT_FALSE(boolReader.readBool(b));

    StateFileReader missing;
    EXPECT_FALSE(missing.open(widePath(dir, "missing")));
}

TEST(StateFileTest, AnUnfinishedWriteLeavesTheLastWholeFile) {
    TempDir dir;
    WString path = widePath(dir, "resume");
    {
        StateFileWriter w;
        ASSERT_TRUE(w.open(path));
        w.writeU32(1);
        ASSERT_TRUE(w.commit());
    }
    {
        StateFileWriter w;
        ASSERT_TRUE(w.open(path));
        w.writeU32(2);
        w.writeU32(3);
        // destroyed without commit, as a stop in the middle would leave it
    }
    EXPECT_EQ(readWholeFile(dir.file("resume")), std::string("\x01\0\0\0", 4));
    {
        StateFileWriter w;
        ASSERT_TRUE(w.open(path));
        w.writeU32(2);
        ASSERT_TRUE(w.commit());
    }
    EXPECT_EQ(readWholeFile(dir.file("resume")), std::string("\x02\0\0\0", 4));
    StateFileWriter nowhere;
    EXPECT_FALSE(nowhere.open(widePath(dir, "no/such/dir/file")));
    EXPECT_FALSE(nowhere.writeU32(1));
    EXPECT_FALSE(nowhere.commit());
}
