// The /proc stand-in for process accounting, on a child this process starts.
#include <gmock/gmock.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "monitor/sys_info_kernel.h"
#include "platform/last_error.h"

namespace {

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

}  // namespace
