#include <gtest/gtest.h>

#include <sstream>

#include "platform/dfrg_exception.h"
#include "support/dump_samples.h"
#include "volume/volume_dump_format.h"

using namespace volume_dump;

namespace {

// The reader's complaint about a dump, or "" when it reads.
std::string readError(const std::string& bytes) {
    try {
        dumpFromString(bytes);
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorReadFile);
        return e.message();
    }
    return "";
}

// A two-entry volume of 20 clusters, laid out by hand.
VolumeDumpVolume smallVolume() {
    VolumeDumpVolume v = emptyVolume(u'D', 20, u"Daten");
    v.header.bytesPerCluster = 512;
    v.header.fileSystemType = kFileSystemFat32;
    setUsed(v, 0, 3);
    setUsed(v, 9, 15);
    v.addEntry(u"D:\\a\u00e9.txt", {{0, 3}, {9, 10}});
    v.addEntry(u"D:\\sub\\", {});
    return v;
}

std::string smallVolumeBytes() {
    return DumpBytes()
        .tag("VDFH").u16(u'D').str(u"Daten").u64(20).u32(512).u8(3)
        .tag("BMPB").u8(0x0F).u8(0xFE).tag("BMPE")
        .tag("EYLH").u64(2)
        .str(u"D:\\a\u00e9.txt").u32(1).u64(2).u64(0).u64(3).u64(9).u64(10)
        .str(u"D:\\sub\\").u32(1).u64(0)
        .bytes();
}

}  // namespace

TEST(VolumeDumpWriterTest, WritesTheSectionLayoutByteForByteAndReadsBackWhatItWrote) {
    EXPECT_EQ(dumpToString({smallVolume()}), smallVolumeBytes());

    // The last 3 of 1,003 clusters have no bitmap bit but are valid places for extents; an empty
    // name, an empty path and a volume without bitmap bytes are all kept.
    VolumeDumpVolume odd = emptyVolume(u'C', 1003, u"Syst\u00e8me");
    for (size_t i = 0; i < odd.bitmap.size(); ++i) odd.bitmap[i] = static_cast<uint8_t>(i * 37 + (i >> 5));
    odd.addEntry(u"C:\\\u65e5\u672c\\b", {{5, 5}, {1000, 1002}, {7, 8}});
    odd.addEntry(u"", {});
    const std::string bytes = dumpToString({odd, emptyVolume(u'E', 7, u""), smallVolume()});
    const std::vector<VolumeDumpVolume> back = dumpFromString(bytes);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[1].bitmap.size(), 0u);
    EXPECT_EQ(back[0].header.volumeName, u"Syst\u00e8me");
    for (const auto& v : back)
        for (const auto& e : v.entries) EXPECT_EQ(e.mark, kEntryMark);
    EXPECT_EQ(dumpToString(back), bytes);
    EXPECT_TRUE(dumpFromString("").empty());
}

TEST(VolumeDumpWriterTest, PathsUpTo32767UnitsOnly) {
    std::ostringstream out(std::ios::binary);
    CVolumeDumpWriter writer(out);
    VolumeDumpVolume v = emptyVolume(u'C', 16);
    writer.writeVolumeHeader(v.header);
    writer.writeBitmap(v.bitmap.data(), v.bitmap.size());
    writer.writeEntryListHeader(1);
    const std::string before = out.str();
    EXPECT_THROW(writer.writeEntry(WString(32768, u'a'), {}), CDfrgException);
    EXPECT_EQ(out.str(), before);  // nothing of the refused entry went out
    writer.writeEntry(WString(32767, u'a'), {{3, 4}});
    EXPECT_EQ(dumpFromString(out.str()).at(0).entries.at(0).path.size(), 32767u);
}

TEST(VolumeDumpReaderTest, EveryTruncationIsRefusedExceptAtSectionEnds) {
    const std::string one = smallVolumeBytes();
    const std::string two = one + dumpToString({emptyVolume(u'E', 9)});
    for (size_t cut = 0; cut <= two.size(); ++cut) {
        const std::string part = two.substr(0, cut);
        if (cut == 0 || cut == one.size() || cut == two.size()) {
            EXPECT_EQ(dumpFromString(part).size(), cut == 0 ? 0u : cut == one.size() ? 1u : 2u);
            continue;
        }
        std::string text = readError(part);
        EXPECT_NE(text.find("Damaged volume dump at offset "), std::string::npos) << "cut at " << cut << ": " << text;
    }
    EXPECT_NE(readError(one.substr(0, 8)).find("offset 6: the file ends inside the volume name"), std::string::npos);
}

TEST(VolumeDumpReaderTest, AWrongTagNamesTheTagExpectedAndItsOffset) {
    const std::string good = smallVolumeBytes();
    for (const char* tag : {"VDFH", "BMPB", "BMPE", "EYLH"}) {
        const size_t at = good.find(tag);
        for (size_t i = 0; i < 4; ++i) {
            std::string bad = good;
            bad[at + i] = static_cast<char>(bad[at + i] ^ 0x20);
            std::string text = readError(bad);
            EXPECT_NE(text.find("offset " + std::to_string(at) + ":"), std::string::npos) << text;
            EXPECT_NE(text.find(std::string("where \"") + tag + "\" belongs"), std::string::npos) << text;
        }
    }
    // Something after the last section must be another section.
    EXPECT_NE(readError(good + "junk").find("where \"VDFH\" belongs"), std::string::npos);
}

TEST(VolumeDumpReaderTest, HugeCountsExtentsOutsideTheVolumeAndBrokenStringsAreRefused) {
    auto head = [](uint64_t clusters) {
        DumpBytes b;
        b.tag("VDFH").u16(u'C').str(u"x").u64(clusters).u32(4096).u8(1).tag("BMPB");
        return b;
    };
    auto entries = [&](uint64_t count) { return head(16).u16(0).tag("BMPE").tag("EYLH").u64(count); };
    auto withExtent = [&](uint64_t start, uint64_t end) {
        return head(19).u16(0xFFFF).tag("BMPE").tag("EYLH").u64(1).str(u"C:\\f").u32(1).u64(1).u64(start).u64(end)
            .bytes();
    };
    std::string unterminated = smallVolumeBytes();
    unterminated[unterminated.find("D\0a\0", 0, 4) + 10] = 'x';  // the name "Daten" loses its 0
    struct Case {
        std::string bytes, message;
    };
    const Case cases[] = {
        {head(1ull << 62).bytes(), "bitmap of 576460752303423488 bytes"},
        {entries(1ull << 62).raw(std::string(64, 'x')).bytes(), "4611686018427387904 entries cannot fit"},
        {entries(1).str(u"p").u32(1).u64(UINT64_MAX).u64(1).u64(2).bytes(), "18446744073709551615 extents cannot fit"},
        {entries(1).u32(0xFFFFFFFFu).raw(std::string(64, 'x')).bytes(), "4294967295 units is longer than 32767"},
        {entries(1).u32(32768).raw(std::string(2 * 32769 + 12, '\0')).bytes(), "32768 units is longer than 32767"},
        {entries(1).u32(30000).raw(std::string(100, 'x')).bytes(), "30000 units is longer than the rest of the file"},
        {DumpBytes().tag("VDFH").u16(u'C').u32(0x7FFFFFFF).bytes(), "volume name of 2147483647 units"},
        {withExtent(5, 4), "extent 5..4 starts after it ends"},
        {withExtent(10, 19), "extent 10..19 lies outside the volume of 19 clusters"},
        {withExtent(UINT64_MAX, UINT64_MAX), "outside the volume"},
        {unterminated, "volume name is not terminated by 0"},
    };
    for (const Case& c : cases) EXPECT_NE(readError(c.bytes).find(c.message), std::string::npos) << c.message;
    EXPECT_EQ(readError(withExtent(0, 18)), "");  // the clusters past the bitmap still belong to the volume
}
