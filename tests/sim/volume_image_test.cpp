// Volume images on disk: round trip, the journal of changes, torn and damaged files, and the
// simulated machine made of a directory of images.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/dfrg_exception.h"
#include "support/temp_dir.h"
#include "support/volume_test_support.h"
#include "sim/volume_image.h"
#include "sim/simulation_provider.h"

using namespace voltest;
namespace fs = std::filesystem;

namespace {

std::shared_ptr<CMemoryVolume> sample(const WString& label = u"Data") {
    auto v = makeVolume(5000, u"NTFS", label);
    EXPECT_TRUE(v->createDirectory(u"C:\\dir"));
    placeFile(*v, u"C:\\dir\\frag", {{100, 10}, {300, 10}});
    placeFile(*v, u"C:\\packed", {{500, 3}, {V, 13}}, FILE_ATTRIBUTE_COMPRESSED);
    return v;
}

bool move(CMemoryVolume& v, const WString& path, uint64_t vcn, uint64_t lcn, DWORD count) {
    HANDLE dev = v.createFile(u"\\\\.\\" + WString(1, v.driveLetter()) + u":", GENERIC_READ, 7, OPEN_EXISTING, 0);
    HANDLE f = v.createFile(path, FILE_READ_ATTRIBUTES, 7, OPEN_EXISTING, 0);
    MOVE_FILE_DATA m{};
    m.FileHandle = f;
    m.StartingVcn.QuadPart = static_cast<LONGLONG>(vcn);
    m.StartingLcn.QuadPart = static_cast<LONGLONG>(lcn);
    m.ClusterCount = count;
    BOOL ok = v.deviceIoControl(dev, FSCTL_MOVE_FILE, &m, sizeof m, nullptr, 0, nullptr);
    v.closeHandle(f);
    v.closeHandle(dev);
    return ok;
}

void appendBytes(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::app);
    out << bytes;
}

}  // namespace

TEST(VolumeImage, ChangesSurviveInTheJournalAndFoldInAtClose) {
    TempDir dir("image");
    const fs::path path = dir / "disk.vimg";
    std::string error;
    ASSERT_TRUE(CVolumeImage::create(path, *sample(), error)) << error;
    const auto created = fs::file_size(path);
    {
        auto image = CVolumeImage::open(path, u'E', error);
        ASSERT_TRUE(image) << error;
        CMemoryVolume& v = *image->volume();
        EXPECT_EQ(v.driveLetter(), u'E');
        ASSERT_TRUE(move(v, u"E:\\dir\\frag", 0, 1000, 20));
        // Further names; the first name goes and a further one takes its place.
        ASSERT_TRUE(v.createHardLink(u"E:\\twin", u"E:\\dir\\frag"));
        ASSERT_TRUE(v.createHardLink(u"E:\\twin2", u"E:\\dir\\frag"));
        ASSERT_TRUE(v.deleteFile(u"E:\\dir\\frag"));
        HANDLE f = v.createFile(u"E:\\dir\\new", GENERIC_WRITE, 0, CREATE_NEW, 0);
        ASSERT_TRUE(v.appendToFile(f, 40000));
        v.closeHandle(f);
        ASSERT_TRUE(v.deleteFile(u"E:\\packed"));
        EXPECT_GT(image->journalBytes(), 0u);
        EXPECT_GT(fs::file_size(path), created);

        // The file as a kill would leave it: everything that succeeded is there.
        const fs::path copy = dir / "killed.vimg";
        fs::copy_file(path, copy);
        auto again = CVolumeImage::open(copy, u'C', error);
        ASSERT_TRUE(again) << error;
        EXPECT_EQ(runsOfFile(*again->volume(), u"C:\\twin"), (std::vector<voltest::Run>{{1000, 20}}));
        EXPECT_EQ(runsOfFile(*again->volume(), u"C:\\twin2"), (std::vector<voltest::Run>{{1000, 20}}));
        CMemoryVolume::FileInfo info;
        EXPECT_FALSE(again->volume()->fileInfo(u"C:\\dir\\frag", info));
        EXPECT_TRUE(again->volume()->fileInfo(u"C:\\dir\\new", info));
        EXPECT_EQ(info.size, 40000u);
        EXPECT_FALSE(again->volume()->fileInfo(u"C:\\packed", info));
        EXPECT_TRUE(again->volume()->checkIntegrity().empty());
    }
    auto reopened = CVolumeImage::open(path, u'C', error);
    ASSERT_TRUE(reopened) << error;
    EXPECT_EQ(reopened->journalBytes(), 0u);  // folded in at close
    EXPECT_EQ(runsOfFile(*reopened->volume(), u"C:\\twin2"), (std::vector<voltest::Run>{{1000, 20}}));
    EXPECT_TRUE(reopened->volume()->deleteFile(u"C:\\twin"));
    EXPECT_TRUE(reopened->volume()->isClusterUsed(1000));  // twin2 still holds the data
    EXPECT_TRUE(reopened->volume()->checkIntegrity().empty());
}

TEST(VolumeImage, ATornJournalTailIsCutDamageIsRefused) {
    TempDir dir("torn");
    const fs::path path = dir / "disk.vimg";
    std::string error;
    ASSERT_TRUE(CVolumeImage::create(path, *sample(), error));
    uintmax_t withMove = 0;
    {
        auto image = CVolumeImage::open(path, u'C', error);
        ASSERT_TRUE(move(*image->volume(), u"C:\\dir\\frag", 0, 2000, 20));
        withMove = fs::file_size(path);
        fs::copy_file(path, dir / "torn.vimg");
    }
    // Half a record: a length that runs past the end.
    appendBytes(dir / "torn.vimg", std::string("\x30\x00\x00\x00\x12\x34", 6));
    auto torn = CVolumeImage::open(dir / "torn.vimg", u'C', error);
    ASSERT_TRUE(torn) << error;
    EXPECT_EQ(fs::file_size(dir / "torn.vimg"), withMove);
    EXPECT_EQ(runsOfFile(*torn->volume(), u"C:\\dir\\frag"), (std::vector<voltest::Run>{{2000, 20}}));
    // Later changes go after the cut and are found again.
    ASSERT_TRUE(move(*torn->volume(), u"C:\\dir\\frag", 0, 3000, 20));
    fs::copy_file(dir / "torn.vimg", dir / "torn2.vimg");
    auto torn2 = CVolumeImage::open(dir / "torn2.vimg", u'C', error);
    ASSERT_TRUE(torn2) << error;
    EXPECT_EQ(runsOfFile(*torn2->volume(), u"C:\\dir\\frag"), (std::vector<voltest::Run>{{3000, 20}}));

    // A flipped byte in the state, a file that is no image, a missing file.
    {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(100);
        f.put('\x5A');
    }
    EXPECT_FALSE(CVolumeImage::open(path, u'C', error));
    EXPECT_EQ(error, "volume image is damaged");
    appendBytes(dir / "text.vimg", "not an image at all, but long enough to have a header");
    EXPECT_FALSE(CVolumeImage::open(dir / "text.vimg", u'C', error));
    EXPECT_FALSE(CVolumeImage::open(dir / "none.vimg", u'C', error));
}

TEST(VolumeImage, ImagesOfTheFirstFormatAreStillRead) {
    // Written as the first format had it: no flags, no further names.
    std::string state, header("VKVOLIMG", 8);
    auto put = [](std::string& out, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i));
    };
    auto u = [&](std::initializer_list<std::pair<uint64_t, int>> fields) {
        for (const auto& f : fields) put(state, f.first, f.second);
    };
    auto text = [&](const std::string& s) {
        put(state, s.size(), 4);
        for (char c : s) put(state, static_cast<uint8_t>(c), 2);
    };
    u({{1, 4}, {64, 8}, {4096, 4}, {512, 4}, {7, 4}});
    text("Old");
    text("NTFS");
    u({{2, 4}, {1, 1}, {0xFFFFFFFFu, 4}, {1, 1}, {0, 4}, {0, 8}});  // two entries; the root
    text("");
    u({{0, 4}, {1, 1}, {0, 4}, {0, 1}, {FILE_ATTRIBUTE_ARCHIVE, 4}, {8192, 8}});  // old.bin at clusters 8 and 9
    text("old.bin");
    u({{1, 4}, {8, 8}, {2, 8}, {1, 8}, {0x300, 8}, {64, 8}});
    for (uint64_t c = 0; c < 64; ++c) put(state, c == 8 || c == 9 ? CMemoryVolume::clusterTag(1, c - 8) : 0, 4);
    put(header, 1, 8);
    put(header, state.size(), 8);
    put(header, crc32(reinterpret_cast<const uint8_t*>(state.data()), state.size()), 8);
    TempDir dir("first-format");
    appendBytes(dir / "old.vimg", header + state);

    std::string error;
    auto image = CVolumeImage::open(dir / "old.vimg", u'C', error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(runsOfFile(*image->volume(), u"C:\\old.bin"), (std::vector<voltest::Run>{{8, 2}}));
    EXPECT_FALSE(image->volume()->geometry().solidState);
    EXPECT_TRUE(image->volume()->checkIntegrity().empty());
}

TEST(VolumeImage, TheSolidStateFlagIsKept) {
    TempDir dir("solid");
    std::string error;
    CMemoryVolume::Geometry g;
    g.totalClusters = 1000;
    g.solidState = true;
    ASSERT_TRUE(CVolumeImage::create(dir / "ssd.vimg", CMemoryVolume(g), error)) << error;
    auto image = CVolumeImage::open(dir / "ssd.vimg", u'C', error);
    ASSERT_TRUE(image) << error;
    EXPECT_TRUE(image->volume()->geometry().solidState);
}

TEST(SimulationProvider, OneFixedDrivePerImageFromC) {
    TempDir dir("machine");
    std::string error;
    ASSERT_TRUE(CVolumeImage::create(dir / "b.vimg", *sample(u"Second"), error));
    ASSERT_TRUE(CVolumeImage::create(dir / "a.VIMG", *sample(u"First"), error));
    appendBytes(dir / "notes.txt", "not a volume");
    auto provider = makeSimulationVolumeProvider(platform::utf8ToUtf16(dir.path()));
    EXPECT_EQ(provider->logicalDrives(), (1u << 2) | (1u << 3));
    EXPECT_EQ(provider->driveType(u"C:\\"), 3u);
    EXPECT_EQ(provider->driveType(u"d:\\"), 3u);
    EXPECT_EQ(provider->driveType(u"E:\\"), 1u);
    WString label;
    ASSERT_TRUE(provider->volumeLabel(u"C:\\", label));
    EXPECT_EQ(label, u"First");
    ASSERT_TRUE(provider->volumeLabel(u"D:\\", label));
    EXPECT_EQ(label, u"Second");
    EXPECT_FALSE(provider->volumeLabel(u"E:\\", label));

    auto d1 = provider->openVolume('D');
    auto d2 = provider->openVolume('d');
    EXPECT_EQ(d1->volumeLabel(), u"Second");
    EXPECT_EQ(d1->driveLetter(), u'D');
    EXPECT_EQ(d1->fileSystemType(), CDfrgVolume::FileSystemType::NTFS);
    EXPECT_EQ(&static_cast<CSimulatedVolume&>(*d1).memoryVolume(), &static_cast<CSimulatedVolume&>(*d2).memoryVolume());
    EXPECT_NE(d1->getFileAttributes(u"D:\\dir\\frag"), INVALID_FILE_ATTRIBUTES);
    expectDfrgError([&] { provider->openVolume('E'); }, ErrorVolumeUnavailable);
}
