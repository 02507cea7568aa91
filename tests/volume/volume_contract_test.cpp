// The volume interface's contract, run against the memory volume here and against the Windows
// volume where the platform allows it.
#include <algorithm>
#include <thread>

#include "platform/last_error.h"
#include "support/volume_test_support.h"
#include "volume/dfrg_file.h"
#include "volume/volume_change_feed.h"
#include "volume/volume_contract.h"

namespace {

std::vector<WString> sorted(std::vector<WString> v) {
    std::sort(v.begin(), v.end());
    return v;
}

struct MemorySubject : ContractSubject {
    std::shared_ptr<CMemoryVolume> memory = voltest::makeVolume(4000);
    MemorySubject() {
        dir = watchedDir = u"C:\\contract";
        watchedRelative = u"contract";
        memory->createDirectory(dir);
        memory->createDirectory(dir + u"\\sub");
        voltest::placeFile(*memory, dir + u"\\file.bin", {{100, 1}, {300, 1}});
    }
    std::unique_ptr<CDfrgVolume> openVolume() override { return std::make_unique<CSimulatedVolume>(memory); }
    void writeFile(const WString& path, uint64_t bytes) override {
        HANDLE h = memory->createFile(path, GENERIC_WRITE, 0, CREATE_NEW, 0);
        memory->appendToFile(h, bytes);
        memory->closeHandle(h);
    }
};

}  // namespace

TEST_P(VolumeContract, AttributesOpeningAndListing) {
    CDfrgVolume& v = *volume;
    const WString file = subject->dir + u"\\file.bin";
    EXPECT_TRUE(v.getFileAttributes(subject->dir) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(v.getFileAttributes(file) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    auto open = [&](const WString& path, DWORD flags) {
        return v.createFile(path, FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, flags, nullptr);
    };
    // A missing leaf is "file not found", a missing directory on the way "path not found".
    for (const auto& missing : {std::make_pair(u"\\missing", DWORD(ERROR_FILE_NOT_FOUND)),
                                std::make_pair(u"\\missing\\x", DWORD(ERROR_PATH_NOT_FOUND))}) {
        const WString path = subject->dir + missing.first;
        EXPECT_TRUE(voltest::failedWith(v.getFileAttributes(path) != INVALID_FILE_ATTRIBUTES, missing.second));
        EXPECT_TRUE(voltest::failedWith(open(path, 0), missing.second));
    }
    HANDLE h = open(file, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0;
    EXPECT_TRUE(v.getFileSize(h, &size));
    EXPECT_EQ(size.QuadPart, 8192);
    EXPECT_TRUE(v.closeHandle(h));
    HANDLE d = open(subject->dir + u"\\sub", FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_NE(d, INVALID_HANDLE_VALUE);
    v.closeHandle(d);

    WCHAR label[256], name[256];
    ASSERT_TRUE(v.getVolumeInformation(label, 256, nullptr, nullptr, nullptr, name, 256));
    EXPECT_NE(WString(asUtf16(name)).find(u"NTFS"), WString::npos);

    WIN32_FIND_DATAW data;
    HANDLE find = v.findFirstFile(subject->dir + u"\\*.*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<WString> names{asUtf16(data.cFileName)};
    while (v.findNextFile(find, &data)) names.emplace_back(asUtf16(data.cFileName));
    EXPECT_EQ(platform::lastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(v.findClose(find));
    EXPECT_EQ(sorted(names), (std::vector<WString>{u".", u"..", u"file.bin", u"sub"}));
    EXPECT_TRUE(voltest::failedWith(v.findFirstFile(subject->dir + u"\\missing\\*.*", &data), ERROR_PATH_NOT_FOUND));
}

TEST_P(VolumeContract, ControlsAnswerWithDataOrAnErrorCode) {
    std::vector<uint64_t> buffer(9026 / 8 + 1);
    auto* bitmap = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(buffer.data());
    DWORD returned = 0;
    platform::setLastError(0);
    if (volume->getVolumeBitmap(0, bitmap, 9016, &returned) || platform::lastError() == ERROR_MORE_DATA) {
        EXPECT_EQ(bitmap->StartingLcn.QuadPart, 0);
        EXPECT_GT(returned, 16u);
    } else {
        EXPECT_NE(platform::lastError(), 0u);
    }
    MOVE_FILE_DATA move{};
    move.FileHandle = INVALID_HANDLE_VALUE;
    move.ClusterCount = 1;
    platform::setLastError(0);
    EXPECT_FALSE(volume->moveFile(move));
    EXPECT_NE(platform::lastError(), 0u);

    // The file's runs: either a sound list or a plain failure, never a made-up one.
    {
        CDfrgContext context(std::move(volume), 0, {});
        CDfrgFile file(context, subject->dir + u"\\file.bin", false);
        CFileExtentList list;
        if (file.getFileExtents(list)) {
            uint64_t next = 0;
            for (const CFileExtent& e : list) {
                EXPECT_EQ(e.vcn.start, next);
                EXPECT_EQ(e.lcn.size(), e.vcn.size());
                next = e.vcn.end + 1;
            }
            EXPECT_EQ(next * context.volume().bytesPerCluster(), 8192u);
        }
    }
}

TEST_P(VolumeContract, TheChangeFeedNamesNewFilesRelativeToTheRoot) {
    auto feed = volume->openChangeFeed();
    ASSERT_TRUE(feed);
    subject->writeFile(subject->watchedDir + u"\\fresh.txt", 3000);
    const WString wanted = subject->watchedRelative.empty() ? WString(u"fresh.txt")
                                                            : subject->watchedRelative + u"\\fresh.txt";
    platform::Event stop(platform::Event::Reset::Manual);
    std::thread guard([&] { stop.wait(30000); stop.set(); });  // against a hang
    std::vector<uint64_t> buffer(65536 / 8);
    bool added = false;
    uint32_t bytes = 0;
    while (!added && feed->read(buffer.data(), 65536, bytes, stop) == CVolumeChangeFeed::Result::Changes) {
        for (size_t at = 0; at < bytes;) {
            auto* rec =
                reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(reinterpret_cast<uint8_t*>(buffer.data()) + at);
            const WString name(asUtf16(rec->FileName), rec->FileNameLength / 2);
            added = added || (rec->Action == FILE_ACTION_ADDED && platform::compareNoCase(name, wanted) == 0);
            if (!rec->NextEntryOffset) break;
            at += rec->NextEntryOffset;
        }
    }
    stop.set();
    guard.join();
    EXPECT_TRUE(added);
}

INSTANTIATE_TEST_SUITE_P(Memory, VolumeContract, testing::Values(ContractParam([] {
                             return std::unique_ptr<ContractSubject>(new MemorySubject);
                         })));
