// The Windows volume: the shared contract where the platform allows it (what it makes of a
// malformed retrieval record, as Wine gives, is the volume layer's test with an answer of its
// own), and a volume it cannot use.
#include <fstream>

#include "platform/dfrg_exception.h"
#include "support/temp_dir.h"
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
