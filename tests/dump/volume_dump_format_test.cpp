#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>

#include "volume/volume_dump_format.h"
#include "platform/dfrg_exception.h"
#include "support/dump_samples.h"
#include "support/temp_dir.h"

using namespace volume_dump;

// The largest single allocation while a probe is armed, to show that counts read from a file
// never size an allocation by themselves.
namespace {
bool g_probeArmed = false;
size_t g_largestAllocation = 0;

struct AllocationProbe {
    AllocationProbe() {
        g_largestAllocation = 0;
        g_probeArmed = true;
    }
    ~AllocationProbe() { g_probeArmed = false; }
    size_t largest() const { return g_largestAllocation; }
};
}  // namespace

void* operator new(size_t size) {
    if (g_probeArmed && size > g_largestAllocation) g_largestAllocation = size;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// The replacement new above takes its blocks from malloc, so free is the matching release.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// The reader's complaint about a dump, or "" when it reads. With a probe, the probe is armed
// only while the reader runs.
std::string readError(const std::string& bytes, size_t* largestAllocation = nullptr) {
    std::istringstream in(bytes, std::ios::binary);
    try {
        AllocationProbe probe;
        try {
            readVolumeDump(in);
        } catch (...) {
            if (largestAllocation) *largestAllocation = probe.largest();
            throw;
        }
        if (largestAllocation) *largestAllocation = probe.largest();
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorReadFile);
        return e.message();
    }
    return "";
}

std::string writeError(const std::function<void(CVolumeDumpWriter&)>& write, VolumeDumpSink& sink) {
    CVolumeDumpWriter writer(sink);
    try {
        write(writer);
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorWriteFile);
        return e.message();
    }
    return "";
}

// Takes the first `room` bytes and then refuses; records the size of every write.
class LimitedSink : public VolumeDumpSink {
public:
    explicit LimitedSink(size_t room = SIZE_MAX) : room_(room) {}
    bool write(const void* data, size_t size) override {
        sizes.push_back(size);
        if (size > room_) return false;
        room_ -= size;
        bytes.append(static_cast<const char*>(data), size);
        return true;
    }
    std::vector<size_t> sizes;
    std::string bytes;

private:
    size_t room_;
};

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

void expectSameVolume(const VolumeDumpVolume& a, const VolumeDumpVolume& b) {
    EXPECT_EQ(a.header.driveLetter, b.header.driveLetter);
    EXPECT_EQ(a.header.volumeName, b.header.volumeName);
    EXPECT_EQ(a.header.totalClusters, b.header.totalClusters);
    EXPECT_EQ(a.header.bytesPerCluster, b.header.bytesPerCluster);
    EXPECT_EQ(a.header.fileSystemType, b.header.fileSystemType);
    EXPECT_TRUE(a.bitmap == b.bitmap);
    ASSERT_EQ(a.entries.size(), b.entries.size());
    for (size_t i = 0; i < a.entries.size(); ++i) {
        EXPECT_EQ(a.entries[i].path, b.entries[i].path);
        EXPECT_EQ(b.entries[i].mark, kEntryMark);
        ASSERT_EQ(a.entries[i].extentCount, b.entries[i].extentCount);
        for (size_t k = 0; k < a.entries[i].extentCount; ++k)
            EXPECT_EQ(a.extentsOf(a.entries[i])[k], b.extentsOf(b.entries[i])[k]) << i << "/" << k;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Writing

TEST(VolumeDumpWriterTest, WritesTheSectionLayoutByteForByte) {
    std::ostringstream out(std::ios::binary);
    CVolumeDumpWriter(out).writeVolume(smallVolume());
    EXPECT_EQ(out.str(), smallVolumeBytes());
}

TEST(VolumeDumpWriterTest, TwoVolumesOfOddSizesRoundTripThroughAFile) {
    // 1,000,003 clusters: 125,000 bitmap bytes, the last 3 clusters without a bit but still
    // valid places for extents.
    VolumeDumpVolume big = emptyVolume(u'C', 1000003, u"Syst\u00e8me");
    for (size_t i = 0; i < big.bitmap.size(); ++i) big.bitmap[i] = static_cast<uint8_t>(i * 37 + (i >> 9));
    big.addEntry(u"C:\\pagefile.sys", {{10, 999999}});
    big.addEntry(u"C:\\\u65e5\u672c\\b", {{5, 5}, {1000000, 1000002}, {7, 8}});
    big.addEntry(u"C:\\Windows\\", {{1, 1}});
    big.addEntry(u"", {});
    VolumeDumpVolume empty = emptyVolume(u'E', 7, u"");

    TempDir dir;
    const std::string path = dir.file("volumeDump.vdf");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    {
        CVolumeDumpWriter writer(f);
        writer.writeVolume(big);
        writer.writeVolume(empty);
    }
    std::fclose(f);

    const std::string bytes = readWholeFile(path);
    // Header of the first volume: tag, letter, name (4 + 7 * 2), clusters, cluster size, type.
    const size_t bitmapTag = 4 + 2 + 4 + 16 + 8 + 4 + 1;
    EXPECT_EQ(bytes.substr(0, 4), "VDFH");
    EXPECT_EQ(bytes.substr(bitmapTag, 4), "BMPB");
    EXPECT_EQ(bytes.substr(bitmapTag + 4 + 125000, 4), "BMPE");
    EXPECT_EQ(bytes.substr(bitmapTag + 4 + 125000 + 4, 4), "EYLH");
    const size_t second = bytes.rfind("VDFH");
    // The empty volume: header with an empty name, no bitmap bytes, no entries.
    EXPECT_EQ(bytes.size() - second, 4u + 2 + 6 + 8 + 4 + 1 + 4 + 4 + 4 + 8);

    std::ifstream in(path, std::ios::binary);
    std::vector<VolumeDumpVolume> back = readVolumeDump(in);
    ASSERT_EQ(back.size(), 2u);
    expectSameVolume(big, back[0]);
    expectSameVolume(empty, back[1]);
    EXPECT_EQ(back[1].bitmap.size(), 0u);
    EXPECT_TRUE(dumpFromString("").empty());
}

TEST(VolumeDumpWriterTest, BitmapGoesOutInBlocksOfAtMost4096Bytes) {
    VolumeDumpVolume v = emptyVolume(u'C', 1000003);
    LimitedSink sink;
    CVolumeDumpWriter writer(sink);
    writer.writeVolumeHeader(v.header);
    const size_t before = sink.sizes.size();
    writer.writeBitmap(v.bitmap.data(), v.bitmap.size());
    std::vector<size_t> blocks(sink.sizes.begin() + static_cast<long>(before) + 1, sink.sizes.end() - 1);
    size_t sum = 0;
    for (size_t b : blocks) {
        EXPECT_LE(b, kBitmapBlockBytes);
        sum += b;
    }
    EXPECT_EQ(sum, 125000u);
    EXPECT_EQ(blocks.size(), 31u);

    // The worker's bitmap buffer is rounded up; only whole bytes go out, and a short one is refused.
    std::vector<uint8_t> shortBitmap(124999);
    try {
        writer.writeBitmap(shortBitmap.data(), shortBitmap.size());
        ADD_FAILURE() << "a short bitmap was written";
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorInvalidParameter);
    }
}

TEST(VolumeDumpWriterTest, ShortWritesRaiseTheTextOfWhatWasBeingWritten) {
    const VolumeDumpVolume v = smallVolume();
    const std::string full = smallVolumeBytes();
    const size_t firstPath = full.find("D\0:\0", 20, 4) - 4;
    const size_t values = firstPath + 4 + 2 * 10;
    const size_t firstStart = values + 12;
    auto writeAll = [&](CVolumeDumpWriter& w) { w.writeVolume(v); };

    // Every cut of the output fails loudly; none passes for a whole dump.
    for (size_t room = 0; room < full.size(); ++room) {
        LimitedSink sink(room);
        std::string text = writeError(writeAll, sink);
        EXPECT_FALSE(text.empty()) << "cut at " << room;
        if (room >= firstPath && room < values) {
            EXPECT_EQ(text, "Error writing string D:\\a\u00e9.txt") << room;
        } else if (room >= values && room < values + 12) {
            EXPECT_EQ(text, "Error writing Entry") << room;
        } else if (room >= firstStart && room < firstStart + 8) {
            EXPECT_EQ(text, "Error writing lStart") << room;
        }
    }
    LimitedSink whole(full.size());
    EXPECT_EQ(writeError(writeAll, whole), "");

    // A file that refuses every write (opened for reading) fails at the first one.
    TempDir dir;
    writeWholeFile(dir.file("ro"), "x");
    FILE* f = std::fopen(dir.file("ro").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    CVolumeDumpWriter writer(f);
    try {
        writer.writeEntry(u"C:\\x", {});
        ADD_FAILURE() << "a write to a read-only file passed";
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.message(), "Error writing string C:\\x");
    }
    std::fclose(f);
}

TEST(VolumeDumpWriterTest, PathsUpTo32767UnitsOnly) {
    std::ostringstream out(std::ios::binary);
    CVolumeDumpWriter writer(out);
    VolumeDumpVolume v = emptyVolume(u'C', 16);
    writer.writeVolumeHeader(v.header);
    writer.writeBitmap(v.bitmap.data(), v.bitmap.size());
    writer.writeEntryListHeader(1);
    const std::string before = out.str();
    try {
        writer.writeEntry(WString(32768, u'a'), {});
        ADD_FAILURE() << "an over-long path was written";
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorInvalidParameter);
    }
    EXPECT_EQ(out.str(), before);  // nothing of the refused entry went out
    writer.writeEntry(WString(32767, u'a'), {{3, 4}});
    std::vector<VolumeDumpVolume> back = dumpFromString(out.str());
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].entries[0].path.size(), 32767u);
}

// ---------------------------------------------------------------------------------------------
// Reading damaged dumps

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

TEST(VolumeDumpReaderTest, HugeCountsAreRefusedWithoutAllocatingForThem) {
    auto head = [](uint64_t clusters) {
        DumpBytes b;
        b.tag("VDFH").u16(u'C').str(u"x").u64(clusters).u32(4096).u8(1).tag("BMPB");
        return b;
    };
    struct Case {
        std::string bytes, message;
    };
    const std::vector<Case> cases = {
        {head(1ull << 62).bytes(), "bitmap of 576460752303423488 bytes"},
        {head(16).u16(0).tag("BMPE").tag("EYLH").u64(1ull << 62).raw(std::string(64, 'x')).bytes(),
         "4611686018427387904 entries cannot fit"},
        {head(16).u16(0).tag("BMPE").tag("EYLH").u64(1).str(u"p").u32(1).u64(UINT64_MAX).u64(1).u64(2).bytes(),
         "18446744073709551615 extents cannot fit"},
        {head(16).u16(0).tag("BMPE").tag("EYLH").u64(1).u32(0xFFFFFFFFu).raw(std::string(64, 'x')).bytes(),
         "4294967295 units is longer than 32767"},
        {head(16).u16(0).tag("BMPE").tag("EYLH").u64(1).u32(32768).raw(std::string(2 * 32769 + 12, '\0')).bytes(),
         "32768 units is longer than 32767"},
        {head(16).u16(0).tag("BMPE").tag("EYLH").u64(1).u32(30000).raw(std::string(100, 'x')).bytes(),
         "30000 units is longer than the rest of the file"},
        {DumpBytes().tag("VDFH").u16(u'C').u32(0x7FFFFFFF).bytes(), "volume name of 2147483647 units"},
    };
    for (const Case& c : cases) {
        size_t largest = SIZE_MAX;
        std::string text = readError(c.bytes, &largest);
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
        // The reader's own small state and the message; nothing near what the counts asked for.
        EXPECT_LE(largest, 4096u) << c.message;
    }
}

TEST(VolumeDumpReaderTest, ExtentsMustLieInsideTheVolumeInOrder) {
    auto withExtent = [](uint64_t start, uint64_t end) {
        return DumpBytes()
            .tag("VDFH").u16(u'C').str(u"").u64(19).u32(4096).u8(1)
            .tag("BMPB").u16(0xFFFF).tag("BMPE")
            .tag("EYLH").u64(1).str(u"C:\\f").u32(1).u64(1).u64(start).u64(end)
            .bytes();
    };
    EXPECT_EQ(readError(withExtent(0, 18)), "");  // the clusters past the bitmap still belong to the volume
    EXPECT_NE(readError(withExtent(5, 4)).find("extent 5..4 starts after it ends"), std::string::npos);
    EXPECT_NE(readError(withExtent(10, 19)).find("extent 10..19 lies outside the volume of 19 clusters"), std::string::npos);
    EXPECT_NE(readError(withExtent(UINT64_MAX, UINT64_MAX)).find("outside the volume"), std::string::npos);

    // A string whose terminator is not 0 has lost its framing.
    std::string bad = smallVolumeBytes();
    const size_t name = bad.find("D\0a\0", 0, 4);  // "Daten"
    bad[name + 10] = 'x';
    EXPECT_NE(readError(bad).find("volume name is not terminated by 0"), std::string::npos);
}
