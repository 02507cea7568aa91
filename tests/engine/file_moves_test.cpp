// The move strategies on small volumes whose free runs the tests lay out cluster by cluster.
#include <gtest/gtest.h>

#include "engine/file_moves.h"
#include "support/engine_state_support.h"

using namespace enginetest;

namespace {

const WString kFile = u"C:\\file.bin";

// A volume holding one file, with free space exactly at `free`.
class Layout {
public:
    Layout(uint64_t clusters, const Runs& file, const Runs& free, EngineOptions options = EngineOptions(),
           DWORD attributes = 0)
        : volume_(voltest::makeVolume(clusters)) {
        voltest::placeFile(*volume_, kFile, file, attributes);
        fillExcept(*volume_, free);
        f = std::make_unique<EngineFixture>(volume_, options);
        f->context().makeExtentSnapshot();
        clearStatus();
    }

    using Strategy = bool (*)(CPassState&, CDfrgContext&, CDfrgFile&, CFileExtentList&, bool&);
    // Runs a strategy on the file as file processing does; the out flag.
    bool run(Strategy strategy) {
        CDfrgFile file(f->context(), kFile, false);
        CFileExtentList extents;
        EXPECT_TRUE(file.getFileExtents(extents));
        bool done = false;
        EXPECT_TRUE(strategy(f->state, f->context(), file, extents, done));
        // The list handed back is the file as it is now.
        EXPECT_EQ(countFragments(extents), piecesOf(*volume_, kFile));
        return done;
    }
    Runs runs() {
        CMemoryVolume::FileInfo info;
        EXPECT_TRUE(volume_->fileInfo(kFile, info));
        return info.runs;
    }
    std::vector<int32_t> details() const {
        std::vector<int32_t> out;
        for (const DfrgStatus& s : statusRecords()) out.push_back(s.detail);
        return out;
    }
    const CPassCounters& counters() const { return f->state.counters; }

    std::unique_ptr<EngineFixture> f;

private:
    std::shared_ptr<CMemoryVolume> volume_;
};

}  // namespace

TEST(DefragFile, ChoosesTheSmallestRunThatHoldsTheFileTheFirstOfEquals) {
    // An exact fit wins over an earlier, larger run.
    Layout exact(1000, {{700, 10}, {800, 10}}, {{10, 50}, {100, 20}, {300, 25}});
    EXPECT_TRUE(exact.run(defragFile));
    EXPECT_EQ(exact.runs(), (Runs{{100, 20}}));
    EXPECT_EQ(exact.counters().defragged, 1u);
    EXPECT_EQ(exact.details(), (std::vector<int32_t>{0}));

    // Without an exact fit: the smallest that holds it, the earlier of two equal ones.
    Layout ties(1000, {{700, 10}, {800, 5}}, {{10, 50}, {100, 20}, {300, 20}});
    EXPECT_TRUE(ties.run(defragFile));
    EXPECT_EQ(ties.runs(), (Runs{{100, 15}}));

    // A contiguous file is left alone.
    Layout single(1000, {{700, 10}}, {{10, 50}});
    EXPECT_FALSE(single.run(defragFile));
    EXPECT_TRUE(single.f->takeMoveTargets().empty());
}

TEST(DefragFile, TooLargeForEveryRunIsRetriedLaterUnlessFreeSpaceItselfIsShortAndTheRetryListOverflows) {
    // A file of 100 clusters; free space in runs of 50, one cluster apart: N + 5000 clusters, then
    // N + 4000.
    auto stripes = [](uint64_t count) {
        Runs runs;
        for (uint64_t i = 0; i < count; ++i) runs.push_back({i * 51, 50});
        return runs;
    };
    for (uint64_t stripeCount : {102u, 82u}) {
        Layout l(6000, {{5800, 50}, {5900, 50}}, stripes(stripeCount));
        l.f->state.scanActive = true;
        EXPECT_FALSE(l.run(defragFile));
        EXPECT_EQ(l.counters().nonDefraggable, 1u);
        EXPECT_EQ(l.counters().nonDefraggablePureSpace, stripeCount == 102 ? 0u : 1u);
        EXPECT_EQ(l.f->state.retryFiles, stripeCount == 102 ? std::vector<WString>{kFile} : std::vector<WString>());
        EXPECT_TRUE(l.f->takeMoveTargets().empty());
    }

    Layout l(6000, {{5800, 50}, {5900, 50}}, stripes(102));
    CPassState& s = l.f->state;
    l.run(defragFile);  // outside a scan pass nothing is remembered
    EXPECT_TRUE(s.retryFiles.empty());
    s.scanActive = true;
    s.retryFiles.assign(CPassState::kMaxRetryFiles, u"C:\\earlier");
    l.run(defragFile);
    EXPECT_TRUE(s.retryOverflow);
    EXPECT_TRUE(s.retryFiles.empty());
    l.run(defragFile);
    EXPECT_TRUE(s.retryFiles.empty());
    EXPECT_EQ(s.counters.nonDefraggable, 3u);
}

TEST(DefragFile, RefusedMovesTryTheSameRunTwiceThenTheNextBestThenGiveUp) {
    struct Case {
        DWORD error;
        uint32_t refusals;
        bool done;
        std::vector<uint64_t> targets;
    };
    // Access denied: no retry can change that. Refused once as not free: the snapshot is refreshed
    // where it was wrong, and the next try goes through.
    const Case cases[] = {{ERROR_ACCESS_DENIED, 1, false, {100}},
                          {ERROR_INVALID_PARAMETER, 1, true, {100, 100}},
                          {ERROR_INVALID_PARAMETER, 3, false, {100, 100, 200}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.targets.size());
        Layout l(1000, {{700, 10}, {800, 10}}, {{100, 20}, {200, 30}});
        l.f->memory().refuseMoves(c.error, c.refusals);
        EXPECT_EQ(l.run(defragFile), c.done);
        EXPECT_EQ(l.f->takeMoveTargets(), c.targets);
        EXPECT_EQ(l.counters().errors, c.done ? 0u : 1u);
        EXPECT_EQ(l.counters().defragged, c.done ? 1u : 0u);
        EXPECT_EQ(l.f->state.refused.count(kFile), c.done ? 0u : 1u);  // not tried again in this pass
        if (c.refusals < 3) continue;
        auto lines = l.f->log->withText("Error defragmenting File. Giving up.");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].priority, 800);
        EXPECT_EQ(lines[0].prop("FileName"), "C:\\file.bin");
        EXPECT_EQ(lines[0].prop("Number of Clusters"), "20");
        EXPECT_EQ(lines[0].prop("Error"), "87");
        // Refused moves leave the snapshot telling the truth.
        const std::vector<std::pair<uint64_t, uint64_t>> truth{{100, 119}, {200, 229}};
        EXPECT_EQ(voltest::runsOf(l.f->context()), truth);
    }
}

TEST(FileMoves, MovesThatLeaveAFileInPiecesAreErrors) {
    // A file system that reports the step at VCN 10 of a move done without doing it.
    EngineOptions steps;
    steps.maxClusterMoveCount = 10;
    struct Case {
        Layout::Strategy strategy;
        Runs file, free;
        const char* message;
        int priority;  // 0: any
    };
    const Case cases[] = {
        {defragFile, {{700, 15}, {800, 15}}, {{100, 30}, {300, 30}},
         "Warning: defragmented file ended up having more than one extent.", 0},
        {moveToBetterPlace, {{700, 30}}, {{690, 10}, {100, 30}},
         "Error: moved file (better) ended up having more than one extent!", 500},
        // Shifted into the gap in front.
        {moveToLeftBorder, {{140, 30}}, {{100, 40}, {170, 5}, {500, 50}},
         "Warning: moved file (left) ended up having more than one extent.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        Layout l(1000, c.file, c.free, steps);
        CMemoryVolume& memory = l.f->memory();
        memory.answerControl(FSCTL_MOVE_FILE, [&memory](HANDLE h, const void* in, DWORD inSize, void*, DWORD,
                                                        DWORD* returned) {
            if (static_cast<const MOVE_FILE_DATA*>(in)->StartingVcn.QuadPart == 10) return TRUE;
            return memory.deviceIoControl(h, FSCTL_MOVE_FILE, in, inSize, nullptr, 0, returned);
        });
        EXPECT_FALSE(l.run(c.strategy));
        EXPECT_EQ(l.counters().errors, 1u);
        EXPECT_EQ(l.counters().moved, 0u);
        auto lines = l.f->log->withText(c.message);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(c.priority == 0 || lines[0].priority == c.priority);
    }
}

TEST(MoveToLeftBorder, MovesOnlyWhenTheGapAndTheRunBehindMergeAndNeverParks) {
    struct Case {
        const char* what;
        Runs file, free;
        std::vector<uint64_t> targets;
    };
    const Case cases[] = {
        // Shifted by 40 in steps of 40, and the two free runs become one.
        {"40 free in front of 100, 10 behind", {{140, 100}}, {{100, 40}, {240, 10}, {600, 200}}, {100, 140, 180}},
        {"fits into the gap in front", {{130, 20}}, {{100, 30}, {150, 5}}, {100}},
        // The hole would only move.
        {"nothing free behind", {{140, 100}}, {{100, 40}, {600, 200}}, {}},
        // Too many steps, and parking the file elsewhere would move it twice.
        {"10 free in front of 50", {{110, 50}}, {{100, 10}, {160, 5}, {500, 60}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Layout l(1000, c.file, c.free);
        EXPECT_EQ(l.run(moveToLeftBorder), !c.targets.empty());
        EXPECT_EQ(l.f->takeMoveTargets(), c.targets);
        EXPECT_EQ(l.runs().front().lcn, c.targets.empty() ? c.file.front().lcn : 100u);
        EXPECT_EQ(l.counters().moved, c.targets.empty() ? 0u : 1u);
        EXPECT_EQ(l.counters().errors, 0u);
        EXPECT_TRUE(c.targets.empty() || l.details() == std::vector<int32_t>{1});
    }
}

TEST(MoveToBetterPlace, MovesOnlyIntoATighterRunThatIsNoNeighbour) {
    struct Case {
        const char* what;
        Runs free;
        Runs fileAfter;
        std::vector<int32_t> details;
    };
    const Case cases[] = {
        {"free space on neither side", {{500, 20}}, {{100, 20}}, {}},
        {"the run is larger than the hole left", {{90, 10}, {500, 40}}, {{100, 20}}, {}},
        {"the best run is right behind the file", {{120, 20}, {500, 30}}, {{100, 20}}, {}},
        {"the best run is right in front of the file", {{80, 20}, {500, 30}}, {{100, 20}}, {}},
        {"a tight run elsewhere", {{95, 5}, {500, 20}}, {{500, 20}}, {2}},
        // Free on both sides and no tight run: handed to the move to the left.
        {"between two holes", {{90, 10}, {120, 10}, {500, 50}}, {{90, 20}}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Layout l(1000, {{100, 20}}, c.free);
        EXPECT_EQ(l.run(moveToBetterPlace), !c.details.empty());
        EXPECT_EQ(l.runs(), c.fileAfter);
        EXPECT_EQ(l.counters().moved, c.details.empty() ? 0u : 1u);
        EXPECT_EQ(l.details(), c.details);
    }
}

TEST(DefragFile, AFileListedInSeveralAnswersOfTheFileSystemIsStillOnePiece) {
    // A compressed file of 200 units that keep 3 clusters each: 400 runs, more than one answer of
    // 256 holds, so its extent list has two records although its clusters lie together.
    auto units = [](Runs runs, uint64_t lcn) {
        for (uint64_t i = 0; i < 100; ++i) runs.insert(runs.end(), {{lcn + 3 * i, 3}, {voltest::V, 13}});
        return runs;
    };
    Layout contiguous(4000, units(units({}, 1000), 1300), {{2000, 700}}, EngineOptions(), FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_FALSE(contiguous.run(defragFile));
    EXPECT_TRUE(contiguous.f->takeMoveTargets().empty());

    // In pieces, with its first unit split across two runs and a virtual tail first in the second
    // answer: moved once in whole units, and it counts as defragmented, not as an error.
    EngineOptions steps;
    steps.maxClusterMoveCount = 16;
    const Runs split{{3000, 3}, {3010, 5}, {voltest::V, 8}};
    Layout apart(4000, units(units(split, 1000), 1300), {{2000, 700}}, steps, FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_TRUE(apart.run(defragFile));  // the volume refuses moves of part of a unit
    EXPECT_EQ(apart.counters().defragged, 1u);
    EXPECT_EQ(apart.counters().errors, 0u);
    EXPECT_EQ(apart.runs().front().lcn, 2000u);
}
