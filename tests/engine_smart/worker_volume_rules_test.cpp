// What the worker does with itself and with the volumes it is given before any pass: it works
// in the background, and it leaves solid-state volumes alone unless told otherwise.
#include <atomic>

#include "platform/win32_types.h"
#include "fixtures.h"
#ifndef _WIN32
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

using namespace smarttest;

namespace {

// The calling thread's CPU and I/O priority are the background ones.
bool inBackground() {
#ifdef _WIN32
    return GetThreadPriority(GetCurrentThread()) < THREAD_PRIORITY_NORMAL;
#else
    return sched_getscheduler(0) == SCHED_IDLE && (syscall(SYS_ioprio_get, 1, 0) >> 13) == 3;
#endif
}

// A volume whose device reports no seek penalty.
class SolidStateVolume : public CSimulatedVolume {
public:
    using CSimulatedVolume::CSimulatedVolume;
    BOOL querySeekPenalty(bool& incursSeekPenalty) override {
        incursSeekPenalty = false;
        return true;
    }
};

class SolidStateProvider : public MemoryVolumeProvider {
public:
    explicit SolidStateProvider(std::map<char, std::shared_ptr<CMemoryVolume>>& volumes) : volumes_(volumes) {}
    std::unique_ptr<CDfrgVolume> openVolume(char letter) override {
        if (letter != 'S') return MemoryVolumeProvider::openVolume(letter);
        return std::make_unique<SolidStateVolume>(volumes_.at(letter), nullptr, [](uint32_t) {});
    }

private:
    std::map<char, std::shared_ptr<CMemoryVolume>>& volumes_;
};

class WorkerVolumeRulesTest : public WorkerTest {
protected:
    void SetUp() override {
        WorkerTest::SetUp();
        provider = std::make_shared<SolidStateProvider>(volumes);
        overrideVolumeProvider(provider);
    }
    uint32_t skipRecord(char letter) {
        CRegistry root;
        CRegistryKey key;
        uint32_t reason = 0;
        if (root.openKey(productKeyPath(), kRegKeyRead, nullptr, false, key))
            key.queryDword(std::string("volumeSkipped_") + letter, reason, 0);
        return reason;
    }
};

}  // namespace

TEST_F(WorkerVolumeRulesTest, TheWorkerRunsInTheBackground) {
    EXPECT_FALSE(inBackground());  // the test's own thread is not touched
    addVolume('C', makeTreeVolume(u'C', 1, 5));
    std::atomic<int> background{-1};
    StatusRecorder::setHook([&](const WString&) { background = inBackground() ? 1 : 0; });
    newEngine();
    worker->start(false);
    ASSERT_TRUE(eventually([&] { return background != -1; }));
    worker->stop();
    StatusRecorder::setHook(nullptr);
    EXPECT_EQ(background, 1);
    EXPECT_FALSE(inBackground());
}

TEST_F(WorkerVolumeRulesTest, ASolidStateVolumeIsLeftAloneUnlessAskedFor) {
    addVolume('C', makeCleanVolume(u'C'));
    addVolume('S', makeCleanVolume(u'S'));
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Volume is clean. Switching to react mode", "C:"));
    worker->stop();
    EXPECT_EQ(count("Volume left alone: solid-state drive", "S:"), 1);
    EXPECT_EQ(count("Finished Scan pass", "S:"), 0);
    EXPECT_EQ(skipRecord('S'), CDfrgConfig::kSkipSolidState);
    EXPECT_EQ(skipRecord('C'), 0u);

    {
        CRegistry root;
        CRegistryKey settings;
        ASSERT_TRUE(root.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, false, settings));
        settings.setDword("defragSolidState", 1);
    }
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Volume is clean. Switching to react mode", "S:"));
    worker->stop();
    EXPECT_EQ(count("Volume left alone: solid-state drive", "S:"), 1);
    EXPECT_EQ(skipRecord('S'), 0u);
}
