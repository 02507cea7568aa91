// Opening a volume: the device with its retries, the file-system type and geometry, and whole-
// bitmap reads that go wrong.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/dfrg_exception.h"
#include "platform/last_error.h"
#include "support/volume_test_support.h"

using namespace voltest;

namespace {

// Opens the volume; "opened" or the error's message. Counts the pauses between attempts.
std::string openError(const std::shared_ptr<CMemoryVolume>& memory, uint32_t* pauses = nullptr) {
    try {
        CSimulatedVolume v(memory, nullptr, [pauses](uint32_t) { if (pauses) ++*pauses; });
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorVolumeUnavailable);
        return e.message();
    }
    return "opened";
}

}  // namespace

TEST(VolumeOpen, TheFileSystemNameDecidesTypeAndGeometry) {
    auto memory = makeVolume(1000);
    memory->answerControl(FSCTL_GET_NTFS_VOLUME_DATA, [](HANDLE, const void*, DWORD, void* out, DWORD, DWORD*) {
        auto* data = static_cast<NTFS_VOLUME_DATA_BUFFER*>(out);
        data->TotalClusters.QuadPart = 5000000000ll;  // more than 32 bits hold
        data->BytesPerCluster = 65536;
        return TRUE;
    });
    CSimulatedVolume a(memory);
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
        CSimulatedVolume v(makeVolume(3000, c.name));
        EXPECT_EQ(v.fileSystemType(), c.type) << platform::utf16ToUtf8(c.name);
        EXPECT_EQ(v.totalClusters() * v.bytesPerCluster(), 3000u * 4096);
    }
}

TEST(VolumeOpen, AccessDeniedIsRetriedTenTimesOtherErrorsNotAndFailingQueriesMakeTheVolumeUnavailable) {
    auto memory = makeVolume(1000);
    for (uint32_t denied : {11u, 10u}) {
        memory->denyDeviceOpens(denied);
        uint32_t pauses = 0;
        EXPECT_EQ(openError(memory, &pauses), denied == 11 ? "Couldn't open Volume ! \\\\.\\C:" : "opened");
        EXPECT_EQ(pauses, 10u);
    }
    memory->failVolumeInformation(ERROR_NOT_READY);
    EXPECT_EQ(openError(memory), "Couldn't get Volume Information C:\\");
    memory->failVolumeInformation(0);
    memory->answerControl(FSCTL_GET_NTFS_VOLUME_DATA, [](HANDLE, const void*, DWORD, void*, DWORD, DWORD*) {
        platform::setLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    });
    EXPECT_EQ(openError(memory), "Couldn't read Volume Information ! C:\\");
    memory->goAway();
    uint32_t pauses = 0;
    EXPECT_EQ(openError(memory, &pauses), "Couldn't open Volume ! \\\\.\\C:");
    EXPECT_EQ(pauses, 0u);
}

// (A sound bitmap read across chunks is the volume dump's test.)
TEST(VolumeOpen, AWholeBitmapThatCannotBeReadIsZerosOneThatClaimsTooMuchIsCut) {
    auto memory = makeVolume(144100);
    fillClusters(*memory, u"C:\\a", 3, 5);
    CSimulatedVolume v(memory);
    std::unique_ptr<uint8_t[]> bitmap;
    for (bool fails : {true, false}) {
        memory->answerControl(FSCTL_GET_VOLUME_BITMAP, [fails](HANDLE, const void*, DWORD, void* out, DWORD size,
                                                              DWORD* returned) -> BOOL {
            if (fails) return FALSE;
            auto* answer = static_cast<VOLUME_BITMAP_BUFFER*>(out);
            answer->StartingLcn.QuadPart = 144000;
            answer->BitmapSize.QuadPart = 100;
            std::memset(answer->Buffer, 0xFF, size - 16);
            *returned = 9016;
            return TRUE;
        });
        ASSERT_TRUE(v.readWholeBitmap(bitmap));
        EXPECT_EQ(bitmap[144099 / 8], fails ? 0 : 0xFF);
        EXPECT_EQ(bitmap[0], 0);  // not what the memory held
    }
}
