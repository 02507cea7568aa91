// A move that returned success survives a kill of the process: a child moves files back and
// forth on an image and reports each success; it is killed in the middle, and the image, opened
// again, shows every reported move.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "support/volume_temp_dir.h"
#include "support/volume_test_support.h"
#include "sim/volume_image.h"

using namespace voltest;

namespace {

constexpr uint32_t kFiles = 100;
constexpr uint64_t kRegionA = 1000, kRegionB = 5000;

WString nameOf(uint32_t i) { return u"C:\\f" + platform::utf8ToUtf16(std::to_string(i)); }
uint64_t homeOf(uint32_t i) { return kRegionA + 4 * i; }
// Move n takes file n % kFiles to the other region.
uint64_t targetOf(uint32_t n) { return ((n / kFiles) % 2 == 0 ? kRegionB : kRegionA) + 4 * (n % kFiles); }

[[noreturn]] void child(const std::filesystem::path& path, int report) {
    std::string error;
    auto image = CVolumeImage::open(path, u'C', error);
    if (!image) _exit(2);
    CMemoryVolume& v = *image->volume();
    HANDLE dev = v.createFile(u"\\\\.\\C:", GENERIC_READ, 7, OPEN_EXISTING, 0);
    for (uint32_t n = 0;; ++n) {
        HANDLE f = v.createFile(nameOf(n % kFiles), FILE_READ_ATTRIBUTES, 7, OPEN_EXISTING, 0);
        MOVE_FILE_DATA m{};
        m.FileHandle = f;
        m.StartingLcn.QuadPart = static_cast<LONGLONG>(targetOf(n));
        m.ClusterCount = 4;
        if (!v.deviceIoControl(dev, FSCTL_MOVE_FILE, &m, sizeof m, nullptr, 0, nullptr)) _exit(3);
        v.closeHandle(f);
        if (write(report, &n, sizeof n) != sizeof n) _exit(4);
    }
}

}  // namespace

TEST(VolumeImageDurability, ReportedMovesSurviveAKill) {
    TempDir dir("kill");
    const auto path = dir / "disk.vimg";
    {
        auto v = makeVolume(10000);
        for (uint32_t i = 0; i < kFiles; ++i) fillClusters(*v, nameOf(i), homeOf(i), 4);
        std::string error;
        ASSERT_TRUE(CVolumeImage::create(path, *v, error)) << error;
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        child(path, fds[1]);
    }
    close(fds[1]);
    uint32_t n = 0, reported = 0;
    while (reported < 5 * kFiles / 2 && read(fds[0], &n, sizeof n) == sizeof n) ++reported;
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself with " << WEXITSTATUS(status);
    // Reports written before the kill still count.
    while (read(fds[0], &n, sizeof n) == sizeof n) ++reported;
    close(fds[0]);
    ASSERT_GE(reported, 5 * kFiles / 2);

    std::string error;
    auto image = CVolumeImage::open(path, u'C', error);
    ASSERT_TRUE(image) << error;
    EXPECT_TRUE(image->volume()->checkIntegrity().empty());
    // Move `reported` may have been done without being reported; every earlier one was.
    for (uint32_t i = 0; i < kFiles; ++i) {
        CMemoryVolume::FileInfo info;
        ASSERT_TRUE(image->volume()->fileInfo(nameOf(i), info));
        ASSERT_EQ(info.runs.size(), 1u);
        uint64_t expected = homeOf(i);
        for (uint32_t m = 0; m < reported; ++m)
            if (m % kFiles == i) expected = targetOf(m);
        if (i == reported % kFiles && info.runs[0].lcn == targetOf(reported)) continue;
        EXPECT_EQ(info.runs[0].lcn, expected) << "file " << i;
    }
}
