// The NTFS volume on an aged image: the tool's whole run, the answers of the device controls, and
// the volumes it must refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "ntfs/ntfs_check.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs_test_image.h"
#include "platform/dfrg_exception.h"
#include "platform/last_error.h"
#include "support/temp_dir.h"
#include "support/volume_test_support.h"

namespace fs = std::filesystem;
using voltest::failedWith;

namespace {

// The first file the check found fragmented and of a kind that is moved ("/docs/g1-0").
std::string firstMovableFragmented(const ntfsvol::VolumeCheck& check) {
    for (const std::string& p : check.fragmentedPaths)
        if (p.find(" (") == std::string::npos) return p;
    return std::string();
}

WString onVolume(const std::string& path) {
    WString w = u"N:" + platform::utf8ToUtf16(path);
    for (char16_t& c : w)
        if (c == u'/') c = u'\\';
    return w;
}

// The runs of a file as the volume reports them (lcn -1 for a hole).
std::vector<std::pair<int64_t, int64_t>> runsOf(CDfrgVolume& v, HANDLE file) {
    std::vector<uint64_t> storage(512);
    auto* out = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(storage.data());
    DWORD returned = 0;
    std::vector<std::pair<int64_t, int64_t>> runs;
    if (!v.getRetrievalPointers(file, 0, out, static_cast<DWORD>(storage.size() * 8), &returned)) return runs;
    int64_t vcn = out->StartingVcn.QuadPart;
    for (DWORD i = 0; i < out->ExtentCount; ++i) {
        runs.push_back({out->Extents[i].Lcn.QuadPart, out->Extents[i].NextVcn.QuadPart - vcn});
        vcn = out->Extents[i].NextVcn.QuadPart;
    }
    return runs;
}

// The first free run of at least n clusters, from the volume's bitmap.
int64_t freeRunOf(CDfrgVolume& v, uint64_t n) {
    std::unique_ptr<uint8_t[]> bits;
    v.readWholeBitmap(bits);
    uint64_t run = 0;
    for (uint64_t c = 0; c < v.totalClusters(); ++c) {
        run = (bits[c / 8] >> (c % 8)) & 1 ? 0 : run + 1;
        if (run == n) return static_cast<int64_t>(c + 1 - n);
    }
    return -1;
}

// One aged image per program, odd in its cluster count; each test works on a copy.
class NtfsImage : public testing::Test {
protected:
    static void SetUpTestSuite() {
        static TempDir shared{"ntfs-shared"};
        made = shared.file("aged.img");
        NtfsImageRecipe r;
        r.sectors = (16ull << 20) / 512 - 8 * 37 - 5;
        r.largestFile = 128;
        if (!makeAgedNtfsImage(made, r, madeError)) made.clear();
    }
    void make() {
        ASSERT_FALSE(made.empty()) << madeError;
        fs::copy_file(made, image);
    }
    static inline std::string made, madeError;
    TempDir dir{"ntfs"};
    std::string image = dir.file("aged.img");
};

// velkaris-ntfs on the aged image: each file's content unchanged, the allocation sound with
// nothing leaked, only the kinds not moved left fragmented, and the file-system checker content.
TEST_F(NtfsImage, TheToolDefragmentsAndChangesNoFile) {
    make();
    const ntfsvol::VolumeCheck before = ntfsvol::checkVolume(image, true);
    ASSERT_TRUE(before.sound()) << before.error;
    ASSERT_GT(before.fragmentedFiles, before.fragmentedRefused) << "the image is not aged";
    EXPECT_NE(before.totalClusters % 8, 0u);
    const std::string out = dir.file("out.txt");
    const int status = std::system((std::string(VDS_NTFS_TOOL) + " defrag --passes 3 -o " + dir.file("report") +
                                    " " + image + " >" + out + " 2>&1").c_str());
    const std::string text = readWholeFile(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("Allocation check: sound (0 clusters"), std::string::npos) << text;
    // Every file moved took a move at least, and every move a cluster at least.
    const char kFigures[] = "files defragmented, ";
    const size_t at = text.find(kFigures);
    ASSERT_NE(at, std::string::npos) << text;
    unsigned long long moved = 0, moves = 0, clusters = 0;
    ASSERT_EQ(std::sscanf(text.c_str() + at + sizeof kFigures - 1, "%llu moved; %llu moves copied %llu clusters", &moved,
                          &moves, &clusters), 3) << text;
    EXPECT_TRUE(moved > 0 && moved <= moves && moves <= clusters) << text;
    const ntfsvol::VolumeCheck after = ntfsvol::checkVolume(image, true);
    ASSERT_TRUE(after.sound()) << after.error << " owned twice " << after.doubleOwned;
    EXPECT_EQ(after.leaked, 0u);
    EXPECT_EQ(after.hashes, before.hashes);
    EXPECT_EQ(after.fragmentedFiles, after.fragmentedRefused) << firstMovableFragmented(after);
    EXPECT_EQ(std::system(("ntfsfix -n " + image + " >/dev/null 2>&1").c_str()), 0);
}

// The device controls answer with the layouts, partial results and errors of Windows.
TEST_F(NtfsImage, AnswersAsTheDeviceControlsDo) {
    make();
    const ntfsvol::VolumeCheck check = ntfsvol::checkVolume(image, false);
    auto v = std::make_unique<CNtfsVolume>(image, CNtfsVolume::Access::ReadWrite);
    EXPECT_EQ(v->fileSystemType(), CDfrgVolume::FileSystemType::NTFS);
    EXPECT_EQ(v->totalClusters(), check.totalClusters);
    EXPECT_EQ(v->volumeLabel(), u"Aged");

    // A bitmap answer that does not fit: the start rounded down to a byte, ERROR_MORE_DATA.
    std::vector<uint64_t> storage(8);
    auto* bitmap = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(storage.data());
    DWORD returned = 0;
    EXPECT_TRUE(failedWith(v->getVolumeBitmap(13, bitmap, 16 + 4, &returned), ERROR_MORE_DATA));
    EXPECT_EQ(bitmap->StartingLcn.QuadPart, 8);
    EXPECT_EQ(static_cast<uint64_t>(bitmap->BitmapSize.QuadPart), check.totalClusters - 8);
    EXPECT_EQ(returned, 20u);
    const auto end = static_cast<LONGLONG>(check.totalClusters);
    EXPECT_TRUE(failedWith(v->getVolumeBitmap(end, bitmap, 64, &returned), ERROR_INVALID_PARAMETER));

    auto open = [&](const std::string& path) {
        return v->createFile(onVolume(path), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    // Retrieval pointers one extent at a time: ERROR_MORE_DATA until the last.
    HANDLE fragmented = open(firstMovableFragmented(check));
    auto* pointers = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(storage.data());
    EXPECT_TRUE(failedWith(v->getRetrievalPointers(fragmented, 0, pointers, 32, &returned), ERROR_MORE_DATA));
    EXPECT_EQ(pointers->ExtentCount, 1u);
    const auto runs = runsOf(*v, fragmented);
    const DWORD fits = static_cast<DWORD>(16 + 16 * runs.size());  // room for all, exactly
    std::vector<uint64_t> exact(fits / 8);
    auto* all = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(exact.data());
    EXPECT_TRUE(v->getRetrievalPointers(fragmented, 0, all, fits, &returned)) << platform::lastError();
    // A file kept in its record has no clusters; nor has a name that is not there.
    HANDLE tiny = open("/docs/tiny.txt");
    EXPECT_TRUE(failedWith(v->getRetrievalPointers(tiny, 0, pointers, 64, &returned), ERROR_HANDLE_EOF));
    EXPECT_TRUE(failedWith(open("/docs/none"), ERROR_FILE_NOT_FOUND));

    // Moves: a target in use is refused as Windows refuses it; files not moved are denied.
    MOVE_FILE_DATA move{fragmented, {}, {}, 1};
    move.StartingVcn.QuadPart = 0;
    move.StartingLcn.QuadPart = 0;  // the boot sector
    EXPECT_TRUE(failedWith(v->moveFile(move), ERROR_INVALID_PARAMETER));
    move.StartingLcn.QuadPart = freeRunOf(*v, 16);
    move.StartingVcn.QuadPart = 0;
    for (const auto& run : runs) move.StartingVcn.QuadPart += run.second;
    EXPECT_TRUE(failedWith(v->moveFile(move), ERROR_INVALID_PARAMETER));  // past the file's end
    for (const char* path : {"/$MFT", "/$Extend/$Reparse", "/packed/squeezed0"}) {
        SCOPED_TRACE(path);
        move.FileHandle = open(path);
        ASSERT_NE(move.FileHandle, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(failedWith(v->moveFile(move), ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(v->getFileAttributes(u"N:\\packed\\squeezed0") & FILE_ATTRIBUTE_COMPRESSED, FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_EQ(v->getFileAttributes(u"N:\\media\\sparse.img") & FILE_ATTRIBUTE_SPARSE_FILE, FILE_ATTRIBUTE_SPARSE_FILE);

    // The root lists neither the file system's own files nor "." and "..".
    std::vector<WString> names;
    WIN32_FIND_DATAW data;
    HANDLE find = v->findFirstFile(u"N:\\*.*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do names.push_back(asUtf16(data.cFileName));
    while (v->findNextFile(find, &data));
    v->findClose(find);
    EXPECT_EQ(names, (std::vector<WString>{u"deep", u"docs", u"fill", u"media", u"packed", u"Ünïcødé-目录"}));
}

// The check that proves a run sound sees damage: a cluster given to a second file is owned twice,
// and the one that file gave up is in use with no owner.
TEST_F(NtfsImage, TheCheckCountsDamage) {
    make();
    std::vector<uint64_t> fillers;
    for (const auto& [mft, path] : ntfsvol::checkVolume(image, false).paths)
        if (path.rfind("/fill/", 0) == 0) fillers.push_back(mft);
    ASSERT_GE(fillers.size(), 2u);
    ASSERT_TRUE(shareNtfsCluster(image, fillers[0], fillers[1]));
    const ntfsvol::VolumeCheck check = ntfsvol::checkVolume(image, false);
    EXPECT_EQ(check.doubleOwned, 1u);
    EXPECT_EQ(check.leaked, 1u);
    EXPECT_EQ(check.ownedButFree, 0u);
}

// What must not be touched is refused with a reason a person understands.
TEST_F(NtfsImage, RefusesVolumesItMustNotTouch) {
    make();
    struct Case {
        const char* name;
        bool (*spoil)(const std::string&);
        const char* reason;
    };
    const Case cases[] = {
        {"dirty", markNtfsDirty, "marked dirty"},
        {"not NTFS", [](const std::string& p) { return truncate(p.c_str(), 0) == 0 && truncate(p.c_str(), 1 << 20) == 0; },
         "no NTFS"},
        {"missing", [](const std::string& p) { return unlink(p.c_str()) == 0; }, "No such file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::copy_file(made, image, fs::copy_options::overwrite_existing);
        ASSERT_TRUE(c.spoil(image));
        for (CNtfsVolume::Access access : {CNtfsVolume::Access::ReadWrite, CNtfsVolume::Access::ReadOnly}) {
            try {
                CNtfsVolume volume(image, access);
                ADD_FAILURE() << "opened";
            } catch (const CDfrgException& e) {
                EXPECT_EQ(e.code(), ErrorVolumeUnavailable);
                EXPECT_NE(e.message().find(c.reason), std::string::npos) << e.message();
            }
        }
    }
}

}  // namespace
