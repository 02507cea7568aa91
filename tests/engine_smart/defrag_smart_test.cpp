// The volume mode state machine, one iteration at a time.
#include <filesystem>
#include <thread>

#include "engine/resume_info.h"
#include "fixtures.h"
#include "platform/dfrg_exception.h"
#include "platform/state_file.h"
#include "volume/change_tracker.h"

namespace {

// A file on volume C: whose change the tracker has seen and whose quiet minute is over.
void changeFile(FakeClock& clock, CMemoryVolume& v, CVolumeChangeTracker& tracker, const WString& path, uint64_t lcn,
                size_t pending = 1) {
    ASSERT_TRUE(v.placeFile(path, 0, 4096, {{lcn, 1}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == pending; }));
    clock.tick_ += 60000;
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
    CPassState stale;
    stale.resumePath = u"Q:\\gone\\file";
    stale.counters.processed = 77;
    ASSERT_TRUE(writeResumeInfo(resumeInfoPath(*config), stale, contexts));
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
    EXPECT_TRUE(startedFiles().empty());
    for (char16_t letter : {u'C', u'D', u'E'}) EXPECT_EQ(readVolumeMode(letter), 2);
}

TEST_F(SmartTest, AStepLeavesItsCountsInTheRegistryAtOnce) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    smart->iteration();  // saves while processing are at most one a second: the clock stands
    CRegistry root;
    CRegistryKey key;
    ASSERT_TRUE(root.openKey(productKeyPath() + "\\statistics", kRegKeyAllAccess, nullptr, false, key));
    uint64_t processed = 0;
    key.queryQword(WString(u"Processed Files"), processed, 0);
    EXPECT_GT(processed, 1u);
    EXPECT_EQ(processed, statistics->current().processed);
}

TEST_F(SmartTest, ReactModeIsPacedAndEndsAfterSevenDaysWithAScanPassInTheSameIteration) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    statistics->setStatus(3);
    smart->iteration();  // the first pass leaves the volume clean, then at once a react step
    ASSERT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    EXPECT_EQ(statistics->getStatus(), 4);  // every volume only follows changes
    ASSERT_EQ(count("Finished Scan pass"), 1);
    EXPECT_EQ(clock.sleeps_.load(), 0u);
    EXPECT_TRUE(smart->reactPause());

    // React steps in a row are five seconds apart.
    setModeAge(u'C', 6.9);
    smart->iteration();
    EXPECT_EQ(clock.sleeps_.load(), 50u);
    EXPECT_EQ(clock.slept_.load(), 5000u);
    EXPECT_EQ(count("Resetting volume mode to scan mode because of react mode age."), 0);
    EXPECT_EQ(count("Finished Scan pass"), 1);

    setModeAge(u'C', 7.0);
    smart->iteration();
    EXPECT_EQ(count("Resetting volume mode to scan mode because of react mode age.", "C:"), 1);
    EXPECT_EQ(count("Finished Scan pass", "C:"), 2);
    double age = 1;
    EXPECT_EQ(readVolumeMode(u'C', &age), kVolumeModeReact);
    EXPECT_LT(age, 0.01);

    writeVolumeMode(u'C', kVolumeModeScan);
    context('C').setPaused(true);
    smart->updateStatus();
    EXPECT_EQ(statistics->getStatus(), 1);
    context('C').setPaused(false);
}

TEST_F(SmartTest, AnUnavailableVolumeIsLeftAloneForFiveMinutes) {
    addVolume('C', makeTreeVolume(u'C', 2, 10));
    build();
    setStartHook([](const WString&) { throw CDfrgException(ErrorVolumeUnavailable, "gone"); });
    smart->iteration();
    EXPECT_EQ(count("Could not open volume.", "C:"), 1);
    EXPECT_FALSE(state.scanActive);
    CPassState stored;
    EXPECT_TRUE(storedResume(statePath("resumeInfo"), stored));
    setStartHook(nullptr);

    const size_t started = startedFiles().size();
    for (uint32_t wait : {0u, 290000u}) {
        clock.tick_ += wait;
        smart->iteration();
        EXPECT_EQ(startedFiles().size(), started);
    }
    EXPECT_EQ(clock.sleeps_.load(), 100u);
    clock.tick_ += 10001;
    smart->iteration();
    EXPECT_EQ(clock.sleeps_.load(), 100u);
    EXPECT_GT(startedFiles().size(), started + 20);
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
    const size_t before = startedFiles().size();
    smart->iteration();  // nothing is ready yet
    EXPECT_EQ(startedFiles().size(), before);
    EXPECT_EQ(piecesOf(v, u"C:\\media\\new"), 2u);

    clock.tick_ += 60000;
    std::filesystem::remove(std::filesystem::u8path(statePath("resumeInfo")));
    smart->iteration();
    const std::vector<WString> started = startedFiles();
    ASSERT_EQ(started.size(), before + 1);
    EXPECT_EQ(started.back(), u"C:\\media\\new");
    EXPECT_EQ(piecesOf(v, u"C:\\media\\new"), 1u);
    EXPECT_EQ(piecesOf(v, u"C:\\media\\trace.log"), 2u);
    EXPECT_TRUE(exists(statePath("resumeInfo")));  // the log file counted as a change

    // The service's own files are neither processed nor a change, in any case.
    for (const char16_t* dir : {u"C:\\svc", u"C:\\svc\\log", u"C:\\svc\\state"})
        ASSERT_TRUE(v.placeFile(dir, FILE_ATTRIBUTE_DIRECTORY, 0, {}));
    uint64_t lcn = 5040;
    for (const char16_t* file :
         {u"C:\\svc\\log\\LOG.TXT", u"C:\\svc\\state\\resumeInfo", u"C:\\svc\\state\\resumeInfo.tmp"})
        ASSERT_TRUE(v.placeFile(file, 0, 2 * 4096, {{lcn += 20, 1}, {lcn + 10, 1}}));
    ASSERT_TRUE(eventually([&] { return tracker.pendingCount() == 3; }));
    clock.tick_ += 60000;
    std::filesystem::remove(std::filesystem::u8path(statePath("resumeInfo")));
    smart->iteration();
    EXPECT_EQ(tracker.pendingCount(), 0u);
    EXPECT_EQ(startedFiles().size(), before + 1);
    EXPECT_FALSE(exists(statePath("resumeInfo")));
}

TEST_F(SmartTest, AStopSavesThePositionOfTheLastFinishedFileAndTheNextPassGoesOnFromThere) {
    addVolume('C', makeTreeVolume(u'C', 3, 10));
    std::vector<WString> order;
    for (const TreeEntry& e : listTree(*volumes['C'])) order.push_back(e.path);
    build();
    setStartHook([](const WString&) {
        if (startedFiles().size() == 12) throw CDfrgException(ErrorStopRequested);
    });
    EXPECT_THROW(smart->iteration(), CDfrgException);
    const std::vector<WString> started = startedFiles();
    ASSERT_EQ(started, std::vector<WString>(order.begin(), order.begin() + 12));
    CPassState first;
    context('C').setPassCount(7);
    ASSERT_TRUE(readResumeInfo(resumeInfoPath(*config), first, contexts));
    EXPECT_EQ(first.resumePath, started[10]);  // the twelfth did not finish
    EXPECT_EQ(first.counters.processed, 12u);
    EXPECT_EQ(context('C').passCount(), 0);
    EXPECT_TRUE(state.resumePath.empty());
    EXPECT_FALSE(state.scanActive);

    // Stopped again at the very first file of the resumed pass: the position stands.
    clearStatus();
    setStartHook([](const WString&) { throw CDfrgException(ErrorStopRequested); });
    EXPECT_THROW(smart->iteration(), CDfrgException);
    ASSERT_EQ(startedFiles(), std::vector<WString>{started[10]});
    CPassState second;
    ASSERT_TRUE(storedResume(statePath("resumeInfo"), second));
    EXPECT_EQ(second.resumePath, started[10]);

    clearStatus();
    setStartHook(nullptr);
    smart->iteration();
    const std::vector<WString> rest(order.begin() + 10, order.end());
    const std::vector<WString> third = startedFiles();
    ASSERT_GE(third.size(), rest.size());
    EXPECT_EQ(std::vector<WString>(third.begin(), third.begin() + static_cast<long>(rest.size())), rest);
    EXPECT_EQ(values("Finished Scan pass", "Processed"),
              std::vector<std::string>{std::to_string(second.counters.processed + rest.size())});
    EXPECT_EQ(values("Finished Scan pass", "Pass"), std::vector<std::string>{"0"});
}

TEST_F(SmartTest, FewerThanOnePercentImprovedFromTheThirdPassOnStartsPanicMode) {
    addVolume('C', makeHopelessVolume(u'C'));
    build();
    // A pass that stopped at the last file of the walk on the hopeless volume, after 999 files of
    // which `improved` were improved: resuming processes the big file and nothing else.
    for (uint64_t improved : {10u, 9u}) {
        SCOPED_TRACE(improved);
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
        writeVolumeMode(u'C', kVolumeModeScan);
        platform::StateFileWriter tracking;
        ASSERT_TRUE(tracking.open(context('C').changeTracker().stateFilePath()));
        tracking.writeWString(u"VCHANGEMAN");
        tracking.writeBool(true);
        tracking.writeU32(0);
        ASSERT_TRUE(tracking.commit());

        log->clear();
        smart->iteration();
        EXPECT_EQ(values("Finished Scan pass", "Processed"), std::vector<std::string>{"1000"});
        EXPECT_EQ(values("Finished Scan pass", "Non-Defraggable"), std::vector<std::string>{"5"});
        EXPECT_EQ(values("Finished Scan pass", "Pass"), std::vector<std::string>{"2"});
        EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeScan);
        EXPECT_EQ(count("Unable to defragment all files in standard mode. Activating panic mode.", "C:"),
                  improved < 10 ? 1 : 0);
        EXPECT_EQ(context('C').panicPassCount(), improved < 10 ? 0 : -1);
    }
}

TEST_F(SmartTest, AnUnexpectedErrorOrLostTrackingPutsTheVolumeBackIntoScanMode) {
    addVolume('C', makeCleanVolume(u'C'));
    build();
    statistics->setStatus(3);
    smart->iteration();
    ASSERT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    CVolumeChangeTracker& tracker = context('C').changeTracker();
    changeFile(clock, *volumes['C'], tracker, u"C:\\docs\\fresh", 6000);
    int32_t during = -1;
    setStartHook([&](const WString&) {
        during = CDfrgStatistics::instance().getStatus();
        throw std::runtime_error("unexpected");
    });
    EXPECT_THROW(smart->iteration(), std::runtime_error);
    EXPECT_EQ(during, 3);  // the react step is working

    EXPECT_EQ(count("Resetting volume mode to scan mode because an exception was encountered.", "C:"), 1);
    EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeScan);
    EXPECT_FALSE(tracker.isTracking());
    EXPECT_EQ(state.reactActive, 0);
    EXPECT_EQ(context('C').passCount(), -1);
    CPassState stored;
    ASSERT_TRUE(storedResume(statePath("resumeInfo"), stored));
    EXPECT_TRUE(stored.resumePath.empty());
    EXPECT_EQ(stored.counters.processed, 0u);
    // The react step let go of the tracker's lock on the way out.
    std::thread([&] {
        tracker.lockChanges();
        tracker.unlockChanges();
    }).join();

    // Back in react mode, the watcher ends while a react step is taking files.
    setStartHook(nullptr);
    smart->iteration();
    ASSERT_EQ(readVolumeMode(u'C'), kVolumeModeReact);
    ASSERT_TRUE(volumes['C']->placeFile(u"C:\\docs\\later", 0, 4096, {{6002, 1}}));
    changeFile(clock, *volumes['C'], tracker, u"C:\\docs\\latest", 6004, 2);
    CMemoryVolume* volume = volumes['C'].get();
    clearStatus();
    setStartHook([volume, &tracker](const WString&) {
        volume->goAway();
        EXPECT_TRUE(eventually([&] { return !tracker.isTracking(); }));
    });
    smart->iteration();
    EXPECT_EQ(count("Change tracking invalidated. Switching to scan mode.", "C:"), 1);
    EXPECT_EQ(readVolumeMode(u'C'), kVolumeModeScan);
    EXPECT_EQ(startedFiles().size(), 1u);
}

}  // namespace
