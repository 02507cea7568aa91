// The volume dump of memory volumes, read back with the dump reader, and volumes rebuilt from dumps.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "engine/volume_dump.h"
#include "volume/volume_dump_format.h"
#include "platform/dfrg_exception.h"
#include "support/dump_samples.h"
#include "support/engine_state_support.h"
#include "support/temp_dir.h"
#include "sim/image_from_dump.h"
#include "sim/volume_image.h"

using namespace enginetest;
using voltest::placeFile;
using volume_dump::VolumeDumpExtent;
using volume_dump::VolumeDumpVolume;
using Extents = std::vector<VolumeDumpExtent>;

namespace {

// Directories with and without clusters, one with enough entries to need an index, a
// fragmented, a compressed, a locked, an empty file and a reparse point.
std::shared_ptr<CMemoryVolume> volumeC() {
    auto v = voltest::makeVolume(2000, u"NTFS", u"System");
    placeFile(*v, u"C:\\dir", {{50, 2}}, FILE_ATTRIBUTE_DIRECTORY);
    placeFile(*v, u"C:\\dir\\frag.bin", {{100, 10}, {200, 5}});
    placeFile(*v, u"C:\\packed", {{300, 3}, {voltest::V, 13}}, FILE_ATTRIBUTE_COMPRESSED);
    placeFile(*v, u"C:\\locked.bin", {{400, 10}});
    placeFile(*v, u"C:\\empty.txt", {});
    placeFile(*v, u"C:\\link", {{500, 4}}, FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_TRUE(v->createDirectory(u"C:\\many"));
    for (int i = 0; i < 20; ++i) placeFile(*v, u"C:\\many\\f" + platform::utf8ToUtf16(std::to_string(i)), {});
    v->setOpenFault(u"C:\\locked.bin", ERROR_SHARING_VIOLATION);
    return v;
}

std::unique_ptr<CDfrgContext> contextOf(std::shared_ptr<CMemoryVolume> v, int32_t index) {
    return std::make_unique<CDfrgContext>(std::make_unique<CSimulatedVolume>(std::move(v), nullptr, [](uint32_t) {}),
                                          index, CDfrgVolumeSettings());
}

Extents extentsOf(const VolumeDumpVolume& v, const WString& path) {
    for (const auto& e : v.entries)
        if (e.path == path) return Extents(v.extentsOf(e), v.extentsOf(e) + e.extentCount);
    ADD_FAILURE() << "no entry " << platform::utf16ToUtf8(path);
    return {};
}

std::vector<WString> pathsOf(const VolumeDumpVolume& v) {
    std::vector<WString> out;
    for (const auto& e : v.entries) out.push_back(e.path);
    return out;
}

// A dump of one volume, as bytes.
std::string dumpBytes(EngineFixture& f, CDfrgContext& context, const TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    std::FILE* out = std::fopen(path.c_str(), "wb");
    writeVolumeDump(context, *f.config, out);
    std::fclose(out);
    return readWholeFile(path);
}

}  // namespace

TEST(VolumeDump, TwoVolumesInOneFileReadBackRebuiltAsImagesAndFilesOnly) {
    TempDir dir;
    auto c = volumeC();
    auto d = voltest::makeVolume(1000003, u"NTFS", u"Data");
    d->setDriveLetter(u'D');
    placeFile(*d, u"D:\\big.bin", {{999990, 13}});
    EngineFixture f(c);
    auto contextD = contextOf(d, 1);

    const std::string path = dir.file("volumes.vdf");
    std::FILE* out = std::fopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    writeVolumeDump(f.context(), *f.config, out);
    writeVolumeDump(*contextD, *f.config, out);
    std::fclose(out);
    EXPECT_EQ(f.log->withText("Time needed: ").size(), 2u);
    EXPECT_NE(f.log->withText("Time needed: ")[0].prop("Time"), "");

    const std::vector<VolumeDumpVolume> volumes = dumpFromString(readWholeFile(path));
    ASSERT_EQ(volumes.size(), 2u);
    const VolumeDumpVolume& vc = volumes[0];
    EXPECT_EQ(vc.header.driveLetter, u'C');
    EXPECT_EQ(vc.header.volumeName, u"System");
    EXPECT_EQ(vc.header.totalClusters, 2000u);
    EXPECT_EQ(vc.header.fileSystemType, volume_dump::kFileSystemNtfs);
    std::vector<WString> expected = {u"C:\\", u"C:\\dir\\", u"C:\\dir\\frag.bin", u"C:\\empty.txt", u"C:\\locked.bin",
                                     u"C:\\many\\"};
    for (int i : {0, 1, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 2, 3, 4, 5, 6, 7, 8, 9})
        expected.push_back(u"C:\\many\\f" + platform::utf8ToUtf16(std::to_string(i)));
    expected.push_back(u"C:\\packed");
    EXPECT_EQ(pathsOf(vc), expected);
    EXPECT_EQ(extentsOf(vc, u"C:\\dir\\"), (Extents{{50, 51}}));
    EXPECT_EQ(extentsOf(vc, u"C:\\dir\\frag.bin"), (Extents{{100, 109}, {200, 204}}));
    EXPECT_EQ(extentsOf(vc, u"C:\\packed"), (Extents{{300, 302}}));
    EXPECT_EQ(extentsOf(vc, u"C:\\locked.bin"), Extents());  // could not be opened
    EXPECT_EQ(extentsOf(vc, u"C:\\many\\").size(), 1u);       // its index
    EXPECT_EQ(vc.bitmap[500 / 8], 0xF0);                      // the reparse point's clusters, 500-503

    const VolumeDumpVolume& vd = volumes[1];
    EXPECT_EQ(vd.header.totalClusters, 1000003u);
    EXPECT_EQ(vd.bitmap.size(), 125000u);
    EXPECT_EQ(vd.bitmap[124998], 0xC0);  // clusters 999990 and 999991
    EXPECT_EQ(vd.bitmap[124999], 0xFF);
    EXPECT_EQ(pathsOf(vd), (std::vector<WString>{u"D:\\", u"D:\\big.bin"}));
    EXPECT_EQ(extentsOf(vd, u"D:\\big.bin"), (Extents{{999990, 1000002}}));

    // One image per section, named by letter; the rebuilt C dumps to the same bytes.
    std::vector<CImageFromDump> made;
    std::string error;
    ASSERT_TRUE(imagesFromDump(std::filesystem::u8path(path), std::filesystem::u8path(dir.file("images")), made, error))
        << error;
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[0].image.filename().u8string(), "C.vimg");
    EXPECT_EQ(made[1].image.filename().u8string(), "D.vimg");
    EXPECT_EQ(made[0].report.droppedClusters, 0u);
    EXPECT_EQ(made[0].report.reservedClusters, 14u);  // the reparse point and the locked file
    auto image = CVolumeImage::open(made[0].image, u'C', error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->volume()->checkIntegrity(), std::vector<std::string>());
    auto rebuilt = contextOf(image->volume(), 0);
    const std::string original = readWholeFile(path);
    EXPECT_EQ(dumpBytes(f, *rebuilt, dir, "rebuilt.vdf"), original.substr(0, original.find("VDFH", 4)));

    // Files only; and a file that refuses every write (opened for reading).
    f.setSetting("dumpType", kDumpFilesOnly);
    const VolumeDumpVolume files = dumpFromString(dumpBytes(f, f.context(), dir, "files.vdf"))[0];
    EXPECT_EQ(files.entries.size(), 24u);
    for (const auto& e : files.entries) EXPECT_FALSE(volume_dump::isDirectoryPath(e.path));
    std::FILE* readOnly = std::fopen(path.c_str(), "rb");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_THROW(writeVolumeDump(f.context(), *f.config, readOnly), CDfrgException);
    std::fclose(readOnly);
}
