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

constexpr uint32_t kGuardMs = 30000;

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

TEST_P(VolumeContract, AttributesAndOpeningFiles) {
    CDfrgVolume& v = *volume;
    const WString file = subject->dir + u"\\file.bin";
    EXPECT_TRUE(v.getFileAttributes(subject->dir) & FILE_ATTRIBUTE_DIRECTORY);
    const DWORD attributes = v.getFileAttributes(file);
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(v.getFileAttributes(subject->dir + u"\\missing"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(platform::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(v.getFileAttributes(subject->dir + u"\\missing\\deeper"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(platform::lastError(), ERROR_PATH_NOT_FOUND);

    HANDLE h = v.createFile(file, FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0;
    EXPECT_TRUE(v.getFileSize(h, &size));
    EXPECT_EQ(size.QuadPart, 8192);
    EXPECT_TRUE(v.closeHandle(h));
    HANDLE d = v.createFile(subject->dir + u"\\sub", FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_NE(d, INVALID_HANDLE_VALUE);
    v.closeHandle(d);
    EXPECT_EQ(v.createFile(subject->dir + u"\\missing", FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(v.createFile(subject->dir + u"\\missing\\x", FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::lastError(), ERROR_PATH_NOT_FOUND);

    WCHAR label[256], name[256];
    ASSERT_TRUE(v.getVolumeInformation(label, 256, nullptr, nullptr, nullptr, name, 256));
    EXPECT_NE(WString(asUtf16(name)).find(u"NTFS"), WString::npos);
    DWORD spc = 0, bps = 0, freeClusters = 0, clusters = 0;
    EXPECT_TRUE(v.getDiskFreeSpace(&spc, &bps, &freeClusters, &clusters));
    EXPECT_GT(bps, 0u);
}

TEST_P(VolumeContract, EnumeratingADirectory) {
    CDfrgVolume& v = *volume;
    WIN32_FIND_DATAW data;
    HANDLE find = v.findFirstFile(subject->dir + u"\\*.*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    std::vector<WString> names{asUtf16(data.cFileName)};
    while (v.findNextFile(find, &data)) names.emplace_back(asUtf16(data.cFileName));
    EXPECT_EQ(platform::lastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(v.findClose(find));
    EXPECT_EQ(sorted(names), (std::vector<WString>{u".", u"..", u"file.bin", u"sub"}));
    EXPECT_EQ(v.findFirstFile(subject->dir + u"\\missing\\*.*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::lastError(), ERROR_PATH_NOT_FOUND);

    std::vector<CDirEntry> entries;
    listDirectory(v, subject->dir, entries, true);
    std::vector<WString> listed;
    for (const auto& e : entries) listed.push_back(e.name);
    EXPECT_EQ(sorted(listed), (std::vector<WString>{u"file.bin", u"sub"}));
    entries.clear();
    listDirectory(v, subject->dir, entries, false);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].isDirectory);
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
    voltest::ContextFixture::advance();
    setContextTickSource(&voltest::ContextFixture::now);
    {
        CDfrgContext context(std::move(volume), 0, {});
        CDfrgFile file(context, subject->dir + u"\\file.bin", false);
        CFileExtentList list;
        if (file.getFileExtents(list)) {
            ASSERT_FALSE(list.empty());
            uint64_t next = 0;
            for (const CFileExtent& e : list) {
                EXPECT_EQ(e.vcn.start, next);
                EXPECT_EQ(e.lcn.size(), e.vcn.size());
                next = e.vcn.end + 1;
            }
            EXPECT_EQ(next * context.volume().bytesPerCluster(), 8192u);
        }
    }
    setContextTickSource(nullptr);
}

TEST_P(VolumeContract, TheChangeFeedNamesNewFilesRelativeToTheRoot) {
    auto feed = volume->openChangeFeed();
    ASSERT_TRUE(feed);
    subject->writeFile(subject->watchedDir + u"\\fresh.txt", 3000);
    const WString wanted = subject->watchedRelative.empty() ? WString(u"fresh.txt")
                                                            : subject->watchedRelative + u"\\fresh.txt";
    platform::Event stop(platform::Event::Reset::Manual);
    std::thread guard([&] { stop.wait(kGuardMs); stop.set(); });
    std::vector<uint64_t> buffer(65536 / 8);
    bool added = false;
    while (!added) {
        uint32_t bytes = 0;
        auto result = feed->read(buffer.data(), 65536, bytes, stop);
        if (result != CVolumeChangeFeed::Result::Changes) break;
        for (size_t at = 0; bytes && at < bytes;) {
            auto* rec = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(reinterpret_cast<uint8_t*>(buffer.data()) + at);
            const WString name(asUtf16(rec->FileName), rec->FileNameLength / 2);
            if (rec->Action == FILE_ACTION_ADDED && platform::compareNoCase(name, wanted) == 0) added = true;
            if (!rec->NextEntryOffset) break;
            at += rec->NextEntryOffset;
        }
    }
    stop.set();
    guard.join();
    EXPECT_TRUE(added);
}

INSTANTIATE_TEST_SUITE_P(Memory, VolumeContract,
                         testing::Values(ContractParam{"MemoryVolume", [] {
                             return std::unique_ptr<ContractSubject>(new MemorySubject);
                         }}),
                         contractName);
