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
    StateFileWriter w;
    ASSERT_TRUE(w.open(widePath(dir, "state")));
    EXPECT_TRUE(w.writeI32(3) && w.writeWString(u"C:\\a") && w.writeU64(0x0102030405060708ull) && w.writeBool(true) &&
                w.writeWString(u"\u00e9\U0001F600"));
    ASSERT_TRUE(w.commit());
    // A four-character string is its count and four code units: 12 bytes.
    EXPECT_EQ(readWholeFile(dir.file("state")), std::string("\x03\0\0\0"
                                                            "\x04\0\0\0C\0:\0\\\0a\0"
                                                            "\x08\x07\x06\x05\x04\x03\x02\x01"
                                                            "\x01"
                                                            "\x03\0\0\0\xe9\0\x3d\xd8\x00\xde",
                                                            4 + 12 + 8 + 1 + 10));

    StateFileReader r;
    ASSERT_TRUE(r.open(widePath(dir, "state")));
    int32_t version;
    WString s1, s2;
    uint64_t big;
    bool flag;
    uint32_t more;
    ASSERT_TRUE(r.readI32(version) && r.readWString(s1) && r.readU64(big) && r.readBool(flag) && r.readWString(s2));
    EXPECT_EQ(version, 3);
    EXPECT_EQ(s1, u"C:\\a");
    EXPECT_EQ(big, 0x0102030405060708ull);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s2, u"\u00e9\U0001F600");
    EXPECT_FALSE(r.readU32(more));  // end of file
}

TEST(StateFileTest, DamagedCountsAndShortFilesAreRefused) {
    TempDir dir;
    WString s;
    bool b;
    // Two gigabytes asked for are refused before any allocation.
    for (const std::string& bytes : {std::string("\xff\xff\xff\x7f" "abcd", 8), std::string("\x05\0\0\0a\0b\0", 8)}) {
        writeWholeFile(dir.file("damaged"), bytes);
        StateFileReader r;
        ASSERT_TRUE(r.open(widePath(dir, "damaged")));
        EXPECT_FALSE(r.readWString(s));
    }
    writeWholeFile(dir.file("bool"), std::string("\x02", 1));
    StateFileReader boolReader, missing;
    ASSERT_TRUE(boolReader.open(widePath(dir, "bool")));
    EXPECT_FALSE(boolReader.readBool(b));
    EXPECT_FALSE(missing.open(widePath(dir, "missing")));
}

TEST(StateFileTest, AnUnfinishedWriteLeavesTheLastWholeFile) {
    TempDir dir;
    for (uint32_t value : {1u, 7u, 2u}) {
        {
            StateFileWriter w;
            ASSERT_TRUE(w.open(widePath(dir, "resume")));
            w.writeU32(value);
            EXPECT_TRUE(value == 7 || w.commit());  // 7 is dropped unfinished, as a stop in the middle leaves it
        }
        const char kept = value == 7 ? 1 : static_cast<char>(value);
        EXPECT_EQ(readWholeFile(dir.file("resume")), std::string(1, kept) + std::string(3, '\0')) << value;
    }
    StateFileWriter nowhere;
    EXPECT_FALSE(nowhere.open(widePath(dir, "no/such/dir/file")));
    EXPECT_FALSE(nowhere.writeU32(1));
    EXPECT_FALSE(nowhere.commit());
}
