// The Windows volume: the shared contract where the platform allows it, and what it makes of
// file-system controls that fail or answer with a malformed record (as they do under Wine).
#include <fstream>

#include "platform/last_error.h"
#include "platform/dfrg_exception.h"
#include "support/temp_dir.h"
#include "support/volume_test_support.h"
#include "volume/dfrg_file.h"
#include "volume/volume_contract.h"
#include "volume/windows_volume.h"

namespace fs = std::filesystem;

namespace {

// A Windows volume whose device is open even when its file-system facts cannot be read.
class ProbeVolume : public CWindowsVolume {
public:
    explicit ProbeVolume(char16_t letter) : CWindowsVolume(letter, DeviceOnly{}) {
        try {
            readFileSystemFacts();
        } catch (const CDfrgException&) {
        }
    }
};

void writeBytes(const fs::path& path, uint64_t bytes) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(static_cast<size_t>(bytes), 'x');
}

struct WindowsSubject : ContractSubject {
    TempDir temp{"contract"};
    char16_t letter;
    std::vector<fs::path> written;
    WindowsSubject() {
        fs::create_directory(temp / "sub");
        writeBytes(temp / "file.bin", 8192);
        dir = fs::path(temp.path()).u16string();
        dir.pop_back();
        letter = dir[0];
        // Wine reports a watched tree's direct children only, so the feed is checked with a
        // file in the root itself.
        watchedDir = WString(1, letter) + u":";
    }
    ~WindowsSubject() override {
        std::error_code ignored;
        for (const auto& p : written) fs::remove(p, ignored);
    }
    std::unique_ptr<CDfrgVolume> openVolume() override { return std::make_unique<ProbeVolume>(letter); }
    void writeFile(const WString& path, uint64_t bytes) override {
        written.emplace_back(path);
        writeBytes(written.back(), bytes);
    }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Windows, VolumeContract, testing::Values(ContractParam([] {
                             return std::unique_ptr<ContractSubject>(new WindowsSubject);
                         })));

TEST(WindowsVolume, OpeningReportsAnUnusableVolumeAsUnavailable) {
    // Wine opens C: but refuses its volume data; Windows answers it.
    try {
        CWindowsVolume c(u'C');
        EXPECT_EQ(c.fileSystemType(), CDfrgVolume::FileSystemType::NTFS);
        EXPECT_GT(c.totalClusters(), 0u);
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorVolumeUnavailable);
        EXPECT_EQ(e.message(), "Couldn't read Volume Information ! C:\\");
    }
    for (char16_t letter : {u'Q', u'Z'}) {
        try {
            CWindowsVolume v(letter);
        } catch (const CDfrgException& e) {
            EXPECT_EQ(e.code(), ErrorVolumeUnavailable);
            EXPECT_EQ(e.message().rfind("Couldn't ", 0), 0u) << e.message();
        }
    }
}

TEST(WindowsVolume, FailingControlsGiveErrorsNotGarbage) {
    TempDir temp("controls");
    writeBytes(temp / "f.bin", 20000);
    const WString path = (temp / "f.bin").u16string();
    auto probe = std::make_unique<ProbeVolume>(path[0]);
    ProbeVolume& v = *probe;

    std::vector<uint64_t> buffer(9026 / 8 + 1);
    DWORD returned = 0;
    if (!v.getVolumeBitmap(0, reinterpret_cast<VOLUME_BITMAP_BUFFER*>(buffer.data()), 9016, &returned) &&
        platform::lastError() != ERROR_MORE_DATA) {
        EXPECT_EQ(platform::lastError(), ERROR_NOT_SUPPORTED);
    }

    HANDLE h = v.createFile(path, FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto* pointers = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(buffer.data());
    const BOOL answered = v.getRetrievalPointers(h, 0, pointers, 4112, &returned);
    const bool malformed = answered && pointers->ExtentCount >= 1 &&
                           pointers->Extents[0].NextVcn.QuadPart <= pointers->StartingVcn.QuadPart;
    MOVE_FILE_DATA move{};
    move.FileHandle = h;
    move.ClusterCount = 1;
    move.StartingLcn.QuadPart = 1;
    if (!v.moveFile(move)) {
        EXPECT_NE(platform::lastError(), 0u);
    }
    v.closeHandle(h);

    voltest::ContextFixture::advance();
    setContextTickSource(&voltest::ContextFixture::now);
    {
        CDfrgContext context(std::move(probe), 0, {});
        CDfrgFile file(context, path, false);
        CFileExtentList list;
        if (malformed) {
            EXPECT_FALSE(file.getFileExtents(list));
        }
    }
    setContextTickSource(nullptr);
}
