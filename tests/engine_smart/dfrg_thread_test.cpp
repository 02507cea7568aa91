// The worker thread through the engine: set-up, lack of work, dump mode, the way from scan passes
// to react mode on two volumes, and a stopped pass taken up again by a new engine.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "config/product_key.h"
#include "config/registry.h"
#include "engine/volume_mode.h"
#include "volume/dfrg_context.h"
#include "fixtures.h"

using namespace smarttest;

namespace {

bool sameStatus(const DfrgStatus& s, int32_t status, int32_t detail) {
    return s.lastFile.empty() && s.status == status && s.detail == detail;
}

TEST_F(WorkerTest, WithoutAnEnabledVolumeTheWorkerEndsForLackOfWork) {
    newEngine();
    worker->start(false);
    ASSERT_TRUE(ended.wait(60000));
    const std::vector<DfrgStatus> records = StatusRecorder::records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(sameStatus(records[0], 5, 5));
    EXPECT_TRUE(sameStatus(records[1], 0, 5));
    EXPECT_EQ(count("You didn't enabled a Volume to defrag, Service ends"), 1);
    EXPECT_EQ(values("Defrag thread terminating because of stop request.", "ErrorMessage"),
              std::vector<std::string>{"Stopping because lack of work"});
    worker->stop();
    EXPECT_EQ(StatusRecorder::records().size(), 2u);
}

TEST_F(WorkerTest, AVolumeThatCannotBeOpenedIsLeftOut) {
    provider->failOpening('C');
    addVolume('D', makeCleanVolume(u'D'));
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Volume is clean. Switching to react mode", "D:"));
    worker->stop();
    EXPECT_EQ(values("Exception while creating Disk/Context", "ErrorCode"), std::vector<std::string>{"-1"});
    EXPECT_EQ(count("Finished Scan pass"), count("Finished Scan pass", "D:"));
    for (const auto& e : log->entries())
        if (e.text == "Exception while creating Disk/Context") {
            EXPECT_EQ(e.priority, 500);
        }
    EXPECT_TRUE(sameStatus(StatusRecorder::records().back(), 0, 5));
    EXPECT_EQ(count("Defrag thread terminating because of stop request."), 1);
}

TEST_F(WorkerTest, DumpModeWritesEveryVolumeAndEndsForLackOfWork) {
    addVolume('C', makeCleanVolume(u'C'));
    addVolume('D', makeHopelessVolume(u'D'));
    newEngine();
    const std::string dump = registry.scratchDirectory() + "/volumes.vdf";
    {
        CRegistry root;
        CRegistryKey settings;
        ASSERT_TRUE(root.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, false, settings));
        settings.setDword("makeDump", 1);
        settings.setString(u"dumpPath", platform::utf8ToUtf16(dump));
    }
    worker->start(false);
    ASSERT_TRUE(ended.wait(60000));
    std::ifstream in(std::filesystem::u8path(dump), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.substr(0, 4), "VDFH");
    EXPECT_NE(bytes.find("VDFH", 4), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(dump + ".tmp")));
    EXPECT_TRUE(sameStatus(StatusRecorder::records().front(), 5, 5));
    EXPECT_EQ(count("Finished Scan pass"), 0);
    EXPECT_EQ(StatusRecorder::startedCount(), 0u);
}

TEST_F(WorkerTest, AStopReachesTheDumpAndLeavesNoPartOfIt) {
    addVolume('C', makeCleanVolume(u'C'));
    newEngine();
    const std::string dump = registry.scratchDirectory() + "/stopped.vdf";
    {
        CRegistry root;
        CRegistryKey settings;
        ASSERT_TRUE(root.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, false, settings));
        settings.setDword("makeDump", 1);
        settings.setString(u"dumpPath", platform::utf8ToUtf16(dump));
    }
    // Started paused, the dump waits at its first step; start has returned all the same.
    worker->start(true);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(std::filesystem::u8path(dump + ".tmp")); }));
    worker->stop();
    EXPECT_TRUE(ended.wait(0));
    EXPECT_EQ(count("Defrag thread terminating because of stop request."), 1);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(dump)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(dump + ".tmp")));
}

TEST_F(WorkerTest, TwoVolumesGoFromScanPassesToReactMode) {
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
    EXPECT_EQ(values("Finished Scan pass", "Non-Defraggable because of pure space reasons", "D:"),
              std::vector<std::string>(6, "0"));
    EXPECT_EQ(count("Volume is clean. Switching to react mode", "D:"), 0);
    // Three panic passes, announced in order, then giving up.
    const std::string panic = "Unable to defragment all files in standard mode. Activating panic mode.";
    const std::string giveUp = "Unable to defragment all files in panic mode. Giving up for now...";
    std::vector<std::string> decisions;
    for (const auto& e : log->entries())
        if (e.text == panic || e.text == giveUp) decisions.push_back(e.text);
    EXPECT_EQ(decisions, (std::vector<std::string>{panic, panic, panic, giveUp}));
    EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    EXPECT_EQ(readVolumeMode(u'D'), kVolumeModeReact);
}

TEST_F(WorkerTest, AStoppedPassIsTakenUpByANewEngineWhereItStood) {
    addVolume('C', makeTreeVolume(u'C', 12, 15));
    const std::vector<WString> order = walkOrder(volumes['C']);
    ASSERT_GT(order.size(), 150u);
    newEngine();
    // The worker waits at the 60th file until the stop has been asked for.
    platform::Event reached{platform::Event::Reset::Manual}, go{platform::Event::Reset::Manual};
    StatusRecorder::setHook([&](const WString&) {
        if (StatusRecorder::startedCount() == 60) {
            reached.set();
            go.wait();
        }
    });
    worker->start(false);
    ASSERT_TRUE(reached.wait(60000));
    std::thread stopper([&] { worker->stop(); });
    EXPECT_TRUE(waitForLog("Waiting for stopped event."));
    go.set();
    stopper.join();
    const std::vector<WString> first = StatusRecorder::startedFiles();
    ASSERT_LT(first.size(), order.size() - 20) << "the stop came too late";
    EXPECT_EQ(first, std::vector<WString>(order.begin(), order.begin() + static_cast<long>(first.size())));

    StoredResumeInfo stored = readStoredResumeInfo(statePath("resumeInfo"));
    ASSERT_TRUE(stored.whole);
    // The last finished file: the last one begun, or the one before when the stop cut it short.
    ASSERT_TRUE(stored.resumePath == first.back() || stored.resumePath == first[first.size() - 2])
        << platform::utf16ToUtf8(stored.resumePath);
    EXPECT_EQ(stored.counters.processed, first.size());
    ASSERT_EQ(stored.volumes.size(), 1u);
    EXPECT_EQ(stored.volumes[0].passCount, 0);

    StatusRecorder::reset();
    newEngine();
    worker->start(false);
    ASSERT_TRUE(waitForLog("Finished Scan pass", "C:"));
    worker->stop();
    const std::vector<WString> second = StatusRecorder::startedFiles();
    const auto at = std::find(order.begin(), order.end(), stored.resumePath);
    ASSERT_NE(at, order.end());
    const std::vector<WString> rest(at, order.end());
    ASSERT_GE(second.size(), rest.size());
    EXPECT_EQ(std::vector<WString>(second.begin(), second.begin() + static_cast<long>(rest.size())), rest);
    EXPECT_EQ(values("Finished Scan pass", "Processed", "C:"),
              std::vector<std::string>{std::to_string(stored.counters.processed + rest.size())});
    EXPECT_EQ(values("Finished Scan pass", "Pass", "C:"), std::vector<std::string>{"0"});
}

}  // namespace
