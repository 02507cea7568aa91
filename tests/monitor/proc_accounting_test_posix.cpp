// The /proc stand-in for process accounting and the terminal stand-in for windows, on this
// process and on children it starts.
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

// A child that runs `body` and lives until the parent closes `release`.
struct Child {
    pid_t pid = -1;
    int release = -1;

    template <class Body>
    static Child start(Body body) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        Child c{fork(), fds[1]};
        if (c.pid == 0) {
            close(fds[1]);
            body();
            for (char b; read(fds[0], &b, 1) > 0;) {
            }
            _exit(0);
        }
        close(fds[0]);
        return c;
    }
    void letGo() { close(release), release = -1; }
    void end() {
        if (release >= 0) letGo();
        if (pid > 0) waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

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

    char path[] = "/tmp/vds-proc-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::vector<char> block(1 << 20, 'x');
    ASSERT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
    ASSERT_EQ(pread(fd, block.data(), block.size(), 0), static_cast<ssize_t>(block.size()));
    close(fd);
    unlink(path);

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
    Child child = Child::start([] {});
    const uint32_t id = static_cast<uint32_t>(child.pid);

    std::vector<monitor::ProcessEntry> snapshot;
    ASSERT_TRUE(accounting->snapshot(snapshot));
    auto entry = std::find_if(snapshot.begin(), snapshot.end(), [&](const auto& e) { return e.processId == id; });
    ASSERT_NE(entry, snapshot.end());
    EXPECT_EQ(entry->parentId, static_cast<uint32_t>(getpid()));
    EXPECT_FALSE(entry->exeName.empty());

    auto handle = accounting->open(id);
    ASSERT_NE(handle, nullptr);
    monitor::WaitProbe probe = accounting->probeRunning(id);
    EXPECT_TRUE(probe.opened);
    EXPECT_TRUE(probe.timedOut);

    child.letGo();
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, id, &info, WEXITED | WNOWAIT), 0);  // ended, not yet collected
    probe = accounting->probeRunning(id);
    EXPECT_TRUE(probe.opened);
    EXPECT_FALSE(probe.timedOut);

    child.end();
    probe = accounting->probeRunning(id);
    EXPECT_FALSE(probe.opened);
    EXPECT_EQ(probe.openError, 87u);
    monitor::ProcessTimes times;
    EXPECT_FALSE(accounting->times(*handle, times));  // the handle still names the old process
    EXPECT_EQ(accounting->open(id), nullptr);
    EXPECT_EQ(platform::lastError(), 87u);
}

TEST(TerminalStandIn, MonitorsTerminalProcessesAndTheirDescendantsButNeverTheSamplersOwn) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    int report[2];
    ASSERT_EQ(pipe(report), 0);

    // A terminal session whose leader starts a daemon-like child without a terminal, then
    // samples from inside the session: it has a terminal too, yet must leave itself out.
    Child leader = Child::start([&] {
        setsid();
        const int tty = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
        int ready[2];
        (void)!pipe(ready);
        Child::start([&] {
            setsid();
            close(tty);
            const int32_t self = getpid();
            (void)!write(ready[1], &self, sizeof self);
        });
        int32_t result[2] = {0, 0};
        (void)!read(ready[0], &result[0], sizeof result[0]);
        CSysInfoKernel sampler;
        sampler.updateData();
        for (const auto& r : sampler.monitoredProcesses())
            if (r->processId == static_cast<uint32_t>(getpid())) result[1] = 1;
        (void)!write(report[1], result, sizeof result);  // the daemon lives on until this leader ends
    });
    close(report[1]);
    int32_t result[2] = {0, 0};
    ASSERT_EQ(read(report[0], result, sizeof result), static_cast<ssize_t>(sizeof result));
    close(report[0]);
    EXPECT_EQ(result[1], 0) << "the sampling process monitored itself";

    CSysInfoKernel sampler;
    sampler.updateData();
    std::vector<uint32_t> ids;
    for (const auto& r : sampler.monitoredProcesses()) ids.push_back(r->processId);
    EXPECT_THAT(ids, testing::Contains(static_cast<uint32_t>(leader.pid)));
    EXPECT_THAT(ids, testing::Contains(static_cast<uint32_t>(result[0])));
    EXPECT_THAT(ids, testing::Not(testing::Contains(static_cast<uint32_t>(getpid()))));
    EXPECT_FALSE(SysInfo::isScreenSaverRunning());
    EXPECT_EQ(SysInfo::getFullscreenWindow(), 0u);

    leader.end();
    close(master);
}

}  // namespace
