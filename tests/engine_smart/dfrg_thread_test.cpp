// The worker thread through the engine: dump mode, background priority, solid-state volumes, and
// the way from scan passes to react mode on two volumes.
#include <atomic>

#include "config/registry.h"
#include "fixtures.h"
#include "platform/win32_types.h"
#include "support/temp_dir.h"
#ifndef _WIN32
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

bool sameStatus(const DfrgStatus& s, int32_t status, int32_t detail) {
    return s.lastFile.empty() && s.status == status && s.detail == detail;
}

// The calling thread's CPU and I/O priority are the background ones.
bool inBackground() {
#ifdef _WIN32
    return GetThreadPriority(GetCurrentThread()) < THREAD_PRIORITY_NORMAL;
#else
    return sched_getscheduler(0) == SCHED_IDLE && (syscall(SYS_ioprio_get, 1, 0) >> 13) == 3;
#endif
}

uint32_t skipRecord(char letter) {
    CRegistry root;
    CRegistryKey key;
    uint32_t reason = 0;
    if (root.openKey(productKeyPath(), kRegKeyRead, nullptr, false, key))
        key.queryDword(std::string("volumeSkipped_") + letter, reason, 0);
    return reason;
}

TEST_F(WorkerTest, DumpModeWritesEveryVolumeOrNothingWhenStopped) {
    addVolume('C', makeCleanVolume(u'C'));
    addVolume('D', makeHopelessVolume(u'D'));
    const std::string dump = registry.scratchDirectory() + "/volumes.vdf";
    setSetting("makeDump", 1);
    setSetting("dumpPath", platform::utf8ToUtf16(dump));

    // Started paused, the dump waits at its first step; start has returned all the same.
    newEngine();
    worker->start(true);
    ASSERT_TRUE(eventually([&] { return exists(dump + ".tmp"); }));
    worker->stop();
    EXPECT_TRUE(ended.wait(0));
    EXPECT_EQ(count("Defrag thread terminating because of stop request."), 1);
    EXPECT_FALSE(exists(dump));
    EXPECT_FALSE(exists(dump + ".tmp"));

    ended.reset();
    clearStatus();
    newEngine();
    worker->start(false);
    ASSERT_TRUE(ended.wait(60000));
    const std::string bytes = readWholeFile(dump);
    EXPECT_EQ(bytes.substr(0, 4), "VDFH");
    EXPECT_NE(bytes.find("VDFH", 4), std::string::npos);
    EXPECT_FALSE(exists(dump + ".tmp"));
    EXPECT_TRUE(sameStatus(statusRecords().front(), 5, 5));
    EXPECT_EQ(count("Finished Scan pass"), 0);
    EXPECT_TRUE(startedFiles().empty());
}

TEST_F(WorkerTest, TheWorkerRunsInTheBackgroundAndLeavesSolidStateVolumesAloneUnlessAsked) {
    addVolume('C', makeCleanVolume(u'C'));
    addVolume('S', makeCleanVolume(u'S', true));
    std::atomic<int> background{-1};
    setStartHook([&](const WString&) { background = inBackground() ? 1 : 0; });
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Volume is clean. Switching to react mode", "C:"));
    worker->stop();
    EXPECT_EQ(background, 1);
    EXPECT_FALSE(inBackground());
    EXPECT_EQ(count("Volume left alone: solid-state drive", "S:"), 1);
    EXPECT_EQ(count("Finished Scan pass", "S:"), 0);
    EXPECT_EQ(skipRecord('S'), CDfrgConfig::kSkipSolidState);
    EXPECT_EQ(skipRecord('C'), 0u);

    setSetting("defragSolidState", 1);
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Volume is clean. Switching to react mode", "S:"));
    worker->stop();
    EXPECT_EQ(count("Volume left alone: solid-state drive", "S:"), 1);
    EXPECT_EQ(skipRecord('S'), 0u);
}

TEST_F(WorkerTest, TwoVolumesGoFromScanPassesToReactModeAndOneThatCannotBeOpenedIsLeftOut) {
    provider->failOpening('E');
    addVolume('C', makeCleanVolume(u'C'));
    addVolume('D', makeHopelessVolume(u'D'));
    newEngine();
    statistics->setStatus(3);
    worker->start(false);
    ASSERT_TRUE(waitForLog("Unable to defragment all files in panic mode. Giving up for now...", "D:"));
    // Wait for the status rule that follows the mode change.
    ASSERT_TRUE(eventually([&] { return CDfrgStatistics::instance().getStatus() == 4; }));
    worker->stop();

    EXPECT_EQ(count("Volume is clean. Switching to react mode", "C:"), 1);
    EXPECT_EQ(values("Finished Scan pass", "Pass", "C:"), std::vector<std::string>{"0"});
    EXPECT_EQ(values("Finished Scan pass", "Pass", "D:"), (std::vector<std::string>{"0", "1", "2", "3", "4", "5"}));
    EXPECT_EQ(values("Finished Scan pass", "PanicPass", "D:"),
              (std::vector<std::string>{"-1", "-1", "-1", "0", "1", "2"}));
    EXPECT_EQ(values("Finished Scan pass", "Defragged", "D:"), std::vector<std::string>(6, "0"));
    // Three panic passes, then giving up.
    EXPECT_EQ(count("Unable to defragment all files in standard mode. Activating panic mode.", "D:"), 3);
    EXPECT_EQ(count("Unable to defragment all files in panic mode. Giving up for now...", "D:"), 1);
    EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    EXPECT_EQ(readVolumeMode(u'D'), kVolumeModeReact);
    const auto failures = log->withText("Exception while creating Disk/Context");
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].prop("ErrorCode"), "-1");
    EXPECT_EQ(failures[0].priority, 500);
    EXPECT_TRUE(sameStatus(statusRecords().back(), 0, 5));
    EXPECT_EQ(count("Defrag thread terminating because of stop request."), 1);
}

}  // namespace
