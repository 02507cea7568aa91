// The /proc stand-in for process accounting, on this process and on a child it starts.
#include <gmock/gmock.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "monitor/sys_info_kernel.h"
#include "platform/last_error.h"

namespace {

TEST(ProcAccounting, ReadsThisProcessesGrowingFigures) {
    auto accounting = monitor::systemProcessAccounting();
    auto self = accounting->open(static_cast<uint32_t>(getpid()));
    ASSERT_NE(self, nullptr);
    monitor::ProcessTimes t0, t1;
    monitor::IoCounts io0, io1;
    uint64_t faults0 = 0, faults1 = 0;
    ASSERT_TRUE(accounting->times(*self, t0));
    ASSERT_TRUE(accounting->ioCounts(*self, io0));
    ASSERT_TRUE(accounting->pageFaults(*self, faults0));

    volatile uint64_t sink = 0;
    for (int round = 0; round < 1000 && accounting->times(*self, t1) && t1.kernel + t1.user == t0.kernel + t0.user;)
        for (int i = 0; i < 1000000; ++i) sink = sink + static_cast<uint64_t>(i + round);
    EXPECT_GT(t1.kernel + t1.user, t0.kernel + t0.user);

    std::vector<char> block(1 << 20, 'x');
    const int fd = open("/dev/zero", O_RDWR);
    ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    ASSERT_EQ(read(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    close(fd);

    const size_t size = 4u << 20;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    madvise(memory, size, MADV_NOHUGEPAGE);
    for (size_t off = 0; off < size; off += 4096) static_cast<volatile char*>(memory)[off] = 1;
    munmap(memory, size);

    ASSERT_TRUE(accounting->ioCounts(*self, io1));
    ASSERT_TRUE(accounting->pageFaults(*self, faults1));
    EXPECT_GE(io1.write - io0.write, block.size());
    EXPECT_GE(io1.read - io0.read, block.size());
    EXPECT_GE(faults1 - faults0, 512u);
}

TEST(ProcAccounting, SeesChildrenWithTheirParentAndTheirEnd) {
    auto accounting = monitor::systemProcessAccounting();
    // A child that lives until this process closes its end of a pipe.
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(release[1]);
        for (char b; read(release[0], &b, 1) > 0;) {
        }
        _exit(0);
    }
    close(release[0]);
    const uint32_t id = static_cast<uint32_t>(pid);

    std::vector<monitor::ProcessEntry> snapshot;
    ASSERT_TRUE(accounting->snapshot(snapshot));
    auto entry = std::find_if(snapshot.begin(), snapshot.end(), [&](auto& e) { return e.processId == id; });
    ASSERT_NE(entry, snapshot.end());
    EXPECT_EQ(entry->parentId, static_cast<uint32_t>(getpid()));
    EXPECT_FALSE(entry->exeName.empty());

    auto handle = accounting->open(id);
    ASSERT_NE(handle, nullptr);
    monitor::WaitProbe probe = accounting->probeRunning(id);
    EXPECT_TRUE(probe.opened && probe.timedOut);
    close(release[1]);
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, id, &info, WEXITED | WNOWAIT), 0);  // ended, not yet collected
    probe = accounting->probeRunning(id);
    EXPECT_TRUE(probe.opened && !probe.timedOut);
    waitpid(pid, nullptr, 0);
    probe = accounting->probeRunning(id);
    EXPECT_FALSE(probe.opened);
    EXPECT_EQ(probe.openError, 87u);
    monitor::ProcessTimes times;
    EXPECT_FALSE(accounting->times(*handle, times));  // the handle still names the old process
    EXPECT_EQ(accounting->open(id), nullptr);
    EXPECT_EQ(platform::lastError(), 87u);
}

TEST(TerminalStandIn, TheSamplerNeverMonitorsItselfAndSeesNoFullScreenWindow) {
    CSysInfoKernel sampler;
    sampler.updateData();
    for (const auto& r : sampler.monitoredProcesses()) EXPECT_NE(r->processId, static_cast<uint32_t>(getpid()));
    EXPECT_FALSE(SysInfo::isScreenSaverRunning());
    EXPECT_EQ(SysInfo::getFullscreenWindow(), 0u);
}

}  // namespace
