// The context: pause and stop through checkState, timed holds, snapshot upkeep.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/last_error.h"
#include "platform/dfrg_exception.h"
#include "support/volume_test_support.h"
#include "volume/dfrg_file.h"
#include "volume/extent_snapshot.h"

using namespace voltest;

namespace {

// Safety net against a hang, not a measurement.
constexpr uint32_t kGuardMs = 30000;

class CountingListener : public PauseListener {
public:
    std::atomic<int> pauses{0}, resumes{0};
    platform::Event paused{platform::Event::Reset::Manual};
    void onPause() override {
        ++pauses;
        paused.set();
    }
    void onResume() override { ++resumes; }
};

}  // namespace

TEST(DfrgContextState, PollsAtOnceThenAtMostEvery500ms) {
    ContextFixture f(makeVolume(100));
    f.context().setPaused(true);
    EXPECT_TRUE(f.context().isPaused());
    // The first call would block now; stop it first so that it throws instead of waiting.
    f.context().stopAll();
    f.context().setPaused(false);
    EXPECT_FALSE(f.context().isPaused());
    EXPECT_THROW(checkState(f.context()), CDfrgException);
    // Within 500 ms nothing is looked at, not even the stop.
    f.advance(499);
    EXPECT_NO_THROW(checkState(f.context()));
    f.advance(1);
    expectDfrgError([&] { checkState(f.context()); }, ErrorStopRequested, "");
}

TEST(DfrgContextState, APauseBlocksTellsTheListenersAndEndsWithTheResumeOrAStop) {
    ContextFixture f(makeVolume(100));
    CountingListener a, b;
    addPauseListener(&a);
    addPauseListener(&b);
    checkState(f.context());
    f.context().setPaused(true);
    f.advance();
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        checkState(f.context());
        returned = true;
    });
    ASSERT_TRUE(a.paused.wait(kGuardMs));
    ASSERT_TRUE(b.paused.wait(kGuardMs));
    EXPECT_FALSE(returned);
    f.context().setPaused(false);
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(a.pauses, 1);
    EXPECT_EQ(a.resumes, 1);
    EXPECT_EQ(b.resumes, 1);
    removePauseListener(&b);

    // A stop while paused throws once resumed.
    a.paused.reset();
    f.context().setPaused(true);
    f.advance();
    std::atomic<int> code{0};
    std::thread stopped([&] {
        try {
            checkState(f.context());
        } catch (const CDfrgException& e) {
            code = e.code();
        }
    });
    ASSERT_TRUE(a.paused.wait(kGuardMs));
    f.context().stopAll();
    f.context().setPaused(false);
    stopped.join();
    EXPECT_EQ(code, ErrorStopRequested);
    removePauseListener(&a);
}

TEST(DfrgContextState, APausedWorkerClosesItsFilesUntilResumed) {
    auto v = makeVolume(100);
    fillClusters(*v, u"C:\\f", 10, 5);
    ContextFixture f(v);
    CDfrgFile file(f.context(), u"C:\\f", false);
    CountingListener after;  // told after the file
    addPauseListener(&after);
    v->setOpenFault(u"C:\\f", ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(file.ensureOpen());  // still open
    f.context().setPaused(true);
    f.advance();
    std::thread resumer([&] {
        after.paused.wait(kGuardMs);
        f.context().setPaused(false);
    });
    checkState(f.context());
    resumer.join();
    removePauseListener(&after);
    // It was closed: reopening meets the other program's lock.
    EXPECT_FALSE(file.ensureOpen());
    EXPECT_EQ(platform::lastError(), ERROR_SHARING_VIOLATION);
    v->setOpenFault(u"C:\\f", 0);
    EXPECT_TRUE(file.ensureOpen());
}

TEST(DfrgContextHold, LastsUntilTheDeadlineAcrossTheWrapOfTheTick) {
    ContextFixture f(makeVolume(100));
    EXPECT_FALSE(f.context().isHolding());
    f.advance(0xFFFFFFFFu - f.clock.tick_ - 1000);  // just before the wrap
    f.context().holdFor(300000);
    EXPECT_TRUE(f.context().isHolding());
    f.advance(300000);
    EXPECT_TRUE(f.context().isHolding());
    f.advance(1);
    EXPECT_FALSE(f.context().isHolding());
    f.advance(0x80000000u);  // far past: still over, once and for all
    EXPECT_FALSE(f.context().isHolding());
    f.advance(100000);
}

TEST(DfrgContext, TheTrackerStateLivesInTheStateDirectoryPerDrive) {
    auto v = makeVolume(100);
    v->setDriveLetter(u'D');
    CDfrgVolumeSettings settings;
    settings.stateDirectory = u"..\\state\\";
    ContextFixture f(v, settings);
    EXPECT_EQ(f.context().changeTrackerBasePath(), u"..\\state\\changeTrack_D");
}

TEST(DfrgContextSnapshot, MovedFilesAreFollowedPieceByPieceOrRebuiltWhenThatIsSlow) {
    auto v = makeVolume(5000);
    placeFile(*v, u"C:\\f", {{500, 10}, {600, 10}, {700, 10}, {800, 10}});
    ContextFixture f(v);
    CDfrgContext& context = f.context();
    context.makeExtentSnapshot();
    CFileExtentList before, after;
    {
        CDfrgFile file(context, u"C:\\f", false);
        ASSERT_TRUE(file.getFileExtents(before));
        ASSERT_EQ(file.moveClustersTo(2000, 40, 0), 0);
        ASSERT_TRUE(file.getFileExtents(after));
    }
    auto requests = watchControl<STARTING_LCN_INPUT_BUFFER>(*v, FSCTL_GET_VOLUME_BITMAP);
    auto asked = [&] {
        std::vector<LONGLONG> lcns;
        for (const auto& r : *requests) lcns.push_back(r.StartingLcn.QuadPart);
        requests->clear();
        return lcns;
    };
    context.updateSnapshotExt(before);
    context.updateSnapshotExt(after);
    EXPECT_EQ(asked(), (std::vector<LONGLONG>{500, 600, 700, 800, 2000}));
    EXPECT_EQ(runsOf(context), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 1999}, {2040, 4999}}));

    // A refresh that takes longer than the build did, before half the records are done, is
    // replaced by a rebuild of the whole volume.
    f.clock.step_ = 1;
    context.updateSnapshotExt(before);
    EXPECT_EQ(asked(), (std::vector<LONGLONG>{500, 0}));
    f.clock.step_ = 0;
}
