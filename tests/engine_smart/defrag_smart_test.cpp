// The volume mode state machine, one iteration at a time.
#include <filesystem>
#include <thread>

#include "engine/resume_info.h"
#include "platform/state_file.h"
#include "platform/dfrg_exception.h"
#include "fixtures.h"
#include "volume/change_tracker.h"

using namespace smarttest;

namespace {

bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::u8path(path)); }

size_t extentsOf(CMemoryVolume& v, const WString& path) {
    CMemoryVolume::FileInfo info;
    return v.fileInfo(path, info) ? info.runs.size() : 0;
}

TEST_F(SmartTest, ConsecutiveIterationsNeverChooseTheSameVolume) {
    for (char letter : {'C', 'D', 'E'}) addVolume(letter, makeCleanVolume(static_cast<char16_t>(letter)));
    build();
    // A mode that is neither scan nor react: the volume is chosen in turn and left alone, even
    // when its time is long past.
    for (char16_t letter : {u'C', u'D', u'E'}) {
        writeVolumeMode(letter, 2);
        setModeAge(letter, 30);
    }
    // A position on a drive without a context is dropped with its counters.
    {
        CPassState stale;
        stale.resumePath = u"Q:\\gone\\file";
        stale.counters.processed = 77;
        ASSERT_TRUE(writeResumeInfo(resumeInfoPath(*config), stale, contexts));
    }
    smart->iteration();
    EXPECT_TRUE(state.resumePath.empty());
    EXPECT_EQ(state.counters.processed, 0u);

    int seen[3] = {0, 0, 0};
    int previous = smart->lastVolume();
    for (int i = 0; i < 120; ++i) {
        smart->iteration();
        ASSERT_NE(smart->lastVolume(), previous) << "iteration " << i;
        previous = smart->lastVolume();
        ++seen[previous];
    }
    for (int n : seen) EXPECT_GT(n, 15);
    EXPECT_EQ(StatusRecorder::startedCount(), 0u);
    for (char16_t letter : {u'C', u'D', u'E'}) EXPECT_EQ(readVolumeMode(letter), 2);
}

TEST_F(SmartTest, ReactModeEndsAfterSevenDaysWithAScanPassInTheSameIteration) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    smart->iteration();  // the first pass leaves the volume clean
    ASSERT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    ASSERT_EQ(count("Finished Scan pass"), 1);

    setModeAge(u'C', 6.9);
    smart->iteration();
    EXPECT_EQ(count("Resetting volume mode to scan mode because of react mode age."), 0);
    EXPECT_EQ(count("Finished Scan pass"), 1);

    setModeAge(u'C', 7.0);
    smart->iteration();
    EXPECT_EQ(count("Resetting volume mode to scan mode because of react mode age.", "C:"), 1);
    EXPECT_EQ(count("Finished Scan pass", "C:"), 2);
    double age = 1;
    EXPECT_EQ(readVolumeMode(u'C', &age), kVolumeModeReact);
    EXPECT_LT(age, 0.01);
}

TEST_F(SmartTest, ReactStepsInARowArePausedFiveSeconds) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    smart->iteration();  // scan pass, then at once a react step without a pause
    EXPECT_EQ(FakeClocks::sleeps(), 0u);
    EXPECT_TRUE(smart->reactPause());
    smart->iteration();
    EXPECT_EQ(FakeClocks::sleeps(), 50u);
    EXPECT_EQ(FakeClocks::sleptMs(), 5000u);
}

TEST_F(SmartTest, AnUnavailableVolumeIsLeftAloneForFiveMinutes) {
    addVolume('C', makeTreeVolume(u'C', 2, 10));
    build();
    StatusRecorder::setHook([](const WString&) { throw CDfrgException(ErrorVolumeUnavailable, "gone"); });
    smart->iteration();
    EXPECT_EQ(count("Could not open volume.", "C:"), 1);
    EXPECT_FALSE(state.scanActive);
    EXPECT_TRUE(readStoredResumeInfo(statePath("resumeInfo")).whole);
    StatusRecorder::setHook(nullptr);

    const size_t started = StatusRecorder::startedCount();
    smart->iteration();
    EXPECT_EQ(FakeClocks::sleeps(), 50u);
    EXPECT_EQ(StatusRecorder::startedCount(), started);
    FakeClocks::advanceContext(290000);
    smart->iteration();
    EXPECT_EQ(FakeClocks::sleeps(), 100u);
    EXPECT_EQ(StatusRecorder::startedCount(), started);

    FakeClocks::advanceContext(10001);
    smart->iteration();
    EXPECT_EQ(FakeClocks::sleeps(), 100u);
    EXPECT_GT(StatusRecorder::startedCount(), started + 20);
    EXPECT_EQ(count("Finished Scan pass", "C:"), 1);
}

TEST_F(SmartTest, AChangedFileIsProcessedOnceQuietForAMinuteButNeverLogsOrTheServiceFiles) {
    addVolume('C', makeCleanVolume(u'C'));
    build(u"C:\\svc");
    smart->iteration();
    ASSERT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    CMemoryVolume& v = *volumes['C'];
    CVolumeChangeTracker& tracker = context('C').changeTracker();

    ASSERT_TRUE(v.placeFile(u"C:\\media\\new", 0, 6 * 4096, {{5000, 3}, {5010, 3}}));
    ASSERT_TRUE(v.placeFile(u"C:\\media\\trace.log", 0, 4 * 4096, {{5020, 2}, {5030, 2}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == 2; }));
    const size_t before = StatusRecorder::startedCount();
    smart->iteration();  // nothing is ready yet
    EXPECT_EQ(StatusRecorder::startedCount(), before);
    EXPECT_EQ(extentsOf(v, u"C:\\media\\new"), 2u);

    FakeClocks::advanceTracker(60000);
    std::filesystem::remove(std::filesystem::u8path(statePath("resumeInfo")));
    smart->iteration();
    const std::vector<WString> started = StatusRecorder::startedFiles();
    ASSERT_EQ(started.size(), before + 1);
    EXPECT_EQ(started.back(), u"C:\\media\\new");
    EXPECT_EQ(extentsOf(v, u"C:\\media\\new"), 1u);
    EXPECT_EQ(extentsOf(v, u"C:\\media\\trace.log"), 2u);
    // The log file counted as a change.
    EXPECT_TRUE(exists(statePath("resumeInfo")));

    // The service's own files are neither processed nor a change, in any case.
    ASSERT_TRUE(v.placeFile(u"C:\\svc", FILE_ATTRIBUTE_DIRECTORY, 0, {}));
    ASSERT_TRUE(v.placeFile(u"C:\\svc\\log", FILE_ATTRIBUTE_DIRECTORY, 0, {}));
    ASSERT_TRUE(v.placeFile(u"C:\\svc\\state", FILE_ATTRIBUTE_DIRECTORY, 0, {}));
    ASSERT_TRUE(v.placeFile(u"C:\\svc\\log\\LOG.TXT", 0, 4 * 4096, {{5040, 2}, {5050, 2}}));
    ASSERT_TRUE(v.placeFile(u"C:\\svc\\state\\resumeInfo", 0, 4 * 4096, {{5060, 2}, {5070, 2}}));
    ASSERT_TRUE(v.placeFile(u"C:\\svc\\state\\resumeInfo.tmp", 0, 2 * 4096, {{5080, 1}, {5090, 1}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == 3; }));
    FakeClocks::advanceTracker(60000);
    std::filesystem::remove(std::filesystem::u8path(statePath("resumeInfo")));
    smart->iteration();
    EXPECT_EQ(tracker.pendingCount(), 0u);
    EXPECT_EQ(StatusRecorder::startedCount(), before + 1);
    EXPECT_FALSE(exists(statePath("resumeInfo")));
}

TEST_F(SmartTest, AStopSavesThePositionOfTheLastFinishedFileAndKeepsItWhenNoneFinished) {
    addVolume('C', makeTreeVolume(u'C', 3, 10));
    build();
    StatusRecorder::setHook([](const WString&) {
        if (StatusRecorder::startedCount() == 12) throw CDfrgException(ErrorStopRequested);
    });
    EXPECT_THROW(smart->iteration(), CDfrgException);
    const std::vector<WString> started = StatusRecorder::startedFiles();
    ASSERT_EQ(started.size(), 12u);
    StoredResumeInfo first = readStoredResumeInfo(statePath("resumeInfo"));
    ASSERT_TRUE(first.whole);
    EXPECT_EQ(first.resumePath, started[10]);  // the twelfth did not finish
    EXPECT_EQ(first.counters.processed, 12u);
    ASSERT_EQ(first.volumes.size(), 1u);
    EXPECT_EQ(first.volumes[0].passCount, 0);
    EXPECT_TRUE(state.resumePath.empty());
    EXPECT_FALSE(state.scanActive);

    // Stopped again at the very first file of the resumed pass: the position stands.
    StatusRecorder::reset();
    StatusRecorder::setHook([](const WString&) { throw CDfrgException(ErrorStopRequested); });
    EXPECT_THROW(smart->iteration(), CDfrgException);
    ASSERT_EQ(StatusRecorder::startedFiles(), std::vector<WString>{started[10]});
    StoredResumeInfo second = readStoredResumeInfo(statePath("resumeInfo"));
    ASSERT_TRUE(second.whole);
    EXPECT_EQ(second.resumePath, started[10]);
    EXPECT_EQ(second.volumes[0].passCount, 0);
}

// A pass that stopped at the last file of the walk on the hopeless volume: resuming processes
// the big file (one more processed, one more not defragmentable) and nothing else. The pass
// before had processed 999 files and improved `improved` of them.
class DecisionTest : public SmartTest {
protected:
    void resumeLastFile(uint64_t improved) {
        addVolume('C', makeHopelessVolume(u'C'));
        build();
        CPassState resume;
        resume.resumePath = u"C:\\big\\blob";
        resume.counters.processed = 999;
        resume.counters.defragged = improved - improved / 2;
        resume.counters.moved = improved / 2;
        resume.counters.nonDefraggable = 4;
        resume.counters.nonDefraggablePureSpace = 2;
        context('C').setPassCount(2);
        context('C').setPanicPassCount(-1);
        ASSERT_TRUE(writeResumeInfo(resumeInfoPath(*config), resume, contexts));
        platform::StateFileWriter tracking;
        ASSERT_TRUE(tracking.open(context('C').changeTracker().stateFilePath()));
        tracking.writeWString(u"VCHANGEMAN");
        tracking.writeBool(true);
        tracking.writeU32(0);
        ASSERT_TRUE(tracking.commit());

        smart->iteration();
        ASSERT_EQ(count("Finished Scan pass"), 1);
        EXPECT_EQ(values("Finished Scan pass", "Processed"), std::vector<std::string>{"1000"});
        EXPECT_EQ(values("Finished Scan pass", "Non-Defraggable"), std::vector<std::string>{"5"});
        EXPECT_EQ(values("Finished Scan pass", "Pass"), std::vector<std::string>{"2"});
        EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeScan);
    }
};

TEST_F(DecisionTest, FewerThanOnePercentImprovedFromTheThirdPassOnStartsPanicMode) {
    resumeLastFile(9);
    EXPECT_EQ(count("Unable to defragment all files in standard mode. Activating panic mode.", "C:"), 1);
    EXPECT_EQ(context('C').panicPassCount(), 0);
}

TEST_F(DecisionTest, OnePercentImprovedIsAProductivePass) {
    resumeLastFile(10);
    EXPECT_EQ(count("Unable to defragment all files in standard mode. Activating panic mode."), 0);
    EXPECT_EQ(context('C').panicPassCount(), -1);
}

TEST_F(SmartTest, AnUnexpectedErrorPutsTheVolumeBackIntoScanMode) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    smart->iteration();
    ASSERT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    CVolumeChangeTracker& tracker = context('C').changeTracker();
    ASSERT_TRUE(volumes['C']->placeFile(u"C:\\docs\\fresh", 0, 4096, {{6000, 1}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == 1; }));
    FakeClocks::advanceTracker(60000);
    StatusRecorder::setHook([](const WString&) { throw std::runtime_error("unexpected"); });
    EXPECT_THROW(smart->iteration(), std::runtime_error);

    EXPECT_EQ(count("Resetting volume mode to scan mode because an exception was encountered.", "C:"), 1);
    EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeScan);
    EXPECT_FALSE(tracker.isTracking());
    EXPECT_EQ(state.reactActive, 0);
    EXPECT_EQ(context('C').passCount(), -1);
    StoredResumeInfo stored = readStoredResumeInfo(statePath("resumeInfo"));
    ASSERT_TRUE(stored.whole);
    EXPECT_TRUE(stored.resumePath.empty());
    EXPECT_EQ(stored.counters.processed, 0u);
    // The react step let go of the tracker's lock on the way out.
    std::thread other([&] {
        tracker.lockChanges();
        tracker.unlockChanges();
    });
    other.join();
}

TEST_F(SmartTest, LostTrackingSendsTheVolumeBackToScanMode) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    smart->iteration();
    CVolumeChangeTracker& tracker = context('C').changeTracker();
    // The watcher ends while a react step is taking files.
    ASSERT_TRUE(volumes['C']->placeFile(u"C:\\docs\\fresh", 0, 4096, {{6000, 1}}));
    ASSERT_TRUE(volumes['C']->placeFile(u"C:\\docs\\later", 0, 4096, {{6002, 1}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == 2; }));
    FakeClocks::advanceTracker(60000);
    CMemoryVolume* volume = volumes['C'].get();
    StatusRecorder::setHook([volume, &tracker](const WString&) {
        volume->goAway();
        EXPECT_TRUE(eventually([&] { return !tracker.isTracking(); }));
    });
    smart->iteration();
    EXPECT_EQ(count("Change tracking invalidated. Switching to scan mode.", "C:"), 1);
    EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeScan);
    EXPECT_EQ(StatusRecorder::startedFiles().back(), u"C:\\docs\\fresh");
}

TEST_F(SmartTest, TheStatusShowsWhenEveryVolumeOnlyFollowsChanges) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    statistics->setStatus(3);
    smart->iteration();
    EXPECT_EQ(statistics->getStatus(), 4);

    CVolumeChangeTracker& tracker = context('C').changeTracker();
    ASSERT_TRUE(volumes['C']->placeFile(u"C:\\docs\\fresh", 0, 4096, {{6000, 1}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == 1; }));
    FakeClocks::advanceTracker(60000);
    int32_t during = -1;
    StatusRecorder::setHook([&](const WString&) { during = CDfrgStatistics::instance().getStatus(); });
    smart->iteration();
    EXPECT_EQ(during, 3);
    EXPECT_EQ(statistics->getStatus(), 4);

    writeVolumeMode(u'C', kVolumeModeScan);
    context('C').setPaused(true);
    smart->updateStatus();
    EXPECT_EQ(statistics->getStatus(), 1);
    context('C').setPaused(false);
}

}  // namespace
