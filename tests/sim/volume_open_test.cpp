// Opening a volume: the device with its retries, the file-system type and geometry, and the
// whole-bitmap read.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/dfrg_exception.h"
#include "support/volume_test_support.h"

using namespace voltest;

namespace {

std::string openError(CScriptedVolume& v) {
    try {
        v.reopen();
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorVolumeUnavailable);
        return e.message();
    }
    return "opened";
}

}  // namespace

TEST(VolumeOpen, TheFileSystemNameDecidesTypeAndGeometry) {
    auto memory = makeVolume(1000);
    VolumeScript ntfs;
    ntfs.ntfsTotalClusters = 5000000000ull;  // more than 32 bits hold
    ntfs.ntfsBytesPerCluster = 65536;
    CScriptedVolume a(memory, ntfs);
    a.reopen();
    EXPECT_EQ(a.fileSystemType(), CDfrgVolume::FileSystemType::NTFS);
    EXPECT_EQ(a.totalClusters(), 5000000000ull);
    EXPECT_EQ(a.bytesPerCluster(), 65536u);
    EXPECT_EQ(a.volumeLabel(), u"Test");

    struct Case {
        const char16_t* name;
        CDfrgVolume::FileSystemType type;
    };
    for (Case c : {Case{u"FAT32", CDfrgVolume::FileSystemType::FAT32}, Case{u"FAT", CDfrgVolume::FileSystemType::FAT},
                   Case{u"CDFS", CDfrgVolume::FileSystemType::Unknown},
                   Case{u"NTFS-like FAT32", CDfrgVolume::FileSystemType::NTFS}}) {
        VolumeScript s;
        s.fileSystemName = c.name;
        s.fatTotalClusters = 0xFFFFFFF0u;
        s.ntfsTotalClusters = 77;
        CScriptedVolume v(memory, s);
        v.reopen();
        EXPECT_EQ(v.fileSystemType(), c.type) << platform::utf16ToUtf8(c.name);
        if (c.type != CDfrgVolume::FileSystemType::NTFS) {
            EXPECT_EQ(v.totalClusters(), 0xFFFFFFF0u);
            EXPECT_EQ(v.bytesPerCluster(), 8u * 512);
        }
    }
}

TEST(VolumeOpen, AccessDeniedIsRetriedTenTimesOtherErrorsNot) {
    auto memory = makeVolume(1000);
    struct Case {
        uint32_t denied;
        DWORD error;
        const char* outcome;
        uint32_t attempts, pauses;
    } const cases[] = {
        {11, ERROR_ACCESS_DENIED, "Couldn't open Volume ! \\\\.\\C:", 11, 10},
        {10, ERROR_ACCESS_DENIED, "opened", 11, 10},
        {1, ERROR_NOT_READY, "Couldn't open Volume ! \\\\.\\C:", 1, 0},
    };
    for (const Case& c : cases) {
        VolumeScript script;
        script.deniedOpens = c.denied;
        script.openError = c.error;
        CScriptedVolume v(memory, script);
        EXPECT_EQ(openError(v), c.outcome);
        EXPECT_EQ(v.openAttempts, c.attempts);
        EXPECT_EQ(v.pauses, c.pauses);
    }
}

TEST(VolumeOpen, FailingQueriesMakeTheVolumeUnavailable) {
    auto memory = makeVolume(1000);
    VolumeScript info;
    info.volumeInformationFails = true;
    CScriptedVolume a(memory, info);
    EXPECT_EQ(openError(a), "Couldn't get Volume Information C:\\");
    VolumeScript data;
    data.ntfsDataFails = true;
    CScriptedVolume b(memory, data);
    EXPECT_EQ(openError(b), "Couldn't read Volume Information ! C:\\");

    // A simulated volume opens its device like a real one.
    memory->denyDeviceOpens(3);
    CSimulatedVolume retried(memory, nullptr, [](uint32_t) {});
    EXPECT_EQ(retried.totalClusters(), 1000u);
    EXPECT_EQ(retried.bytesPerCluster(), 4096u);
    memory->goAway();
    EXPECT_THROW(CSimulatedVolume(memory, nullptr, [](uint32_t) {}), CDfrgException);
}

TEST(VolumeOpen, TheWholeBitmapIsReadInChunks) {
    auto memory = makeVolume(144100);
    fillClusters(*memory, u"C:\\a", 3, 5);
    fillClusters(*memory, u"C:\\b", 71990, 20);
    fillClusters(*memory, u"C:\\c", 144090, 10);
    CScriptedVolume v(memory, {});
    std::unique_ptr<uint8_t[]> bitmap;
    ASSERT_TRUE(v.readWholeBitmap(bitmap));
    EXPECT_EQ(v.bitmapRequests, (std::vector<LONGLONG>{0, 72000, 144000}));
    for (uint64_t c = 0; c < 144100; ++c)
        ASSERT_EQ((bitmap[c / 8] >> (c % 8)) & 1, memory->isClusterUsed(c) ? 1 : 0) << c;

    // A bitmap that cannot be read leaves zeros, not whatever the memory held.
    VolumeScript failing;
    failing.bitmap = [](LONGLONG, VOLUME_BITMAP_BUFFER*, DWORD, DWORD*) -> BOOL { return FALSE; };
    CScriptedVolume broken(memory, failing);
    ASSERT_TRUE(broken.readWholeBitmap(bitmap));
    for (uint64_t i = 0; i < 144100 / 8; ++i) ASSERT_EQ(bitmap[i], 0);

    // An answer that claims more than asked for is cut to the output.
    VolumeScript lying;
    lying.bitmap = [](LONGLONG, VOLUME_BITMAP_BUFFER* out, DWORD size, DWORD* returned) -> BOOL {
        out->StartingLcn.QuadPart = 144000;
        out->BitmapSize.QuadPart = 100;
        std::memset(out->Buffer, 0xFF, size - 16);
        *returned = 9016;
        return TRUE;
    };
    CScriptedVolume liar(memory, lying);
    ASSERT_TRUE(liar.readWholeBitmap(bitmap));
    EXPECT_EQ(bitmap[144099 / 8], 0xFF);
}
