// The move strategies on small volumes whose free runs the tests lay out cluster by cluster.
#include <gtest/gtest.h>

#include "engine/file_moves.h"
#include "support/engine_files_support.h"

using namespace enginetest;
using voltest::placeFile;
using Runs = std::vector<CMemoryVolume::Run>;

namespace {

// A volume holding the given files, with free space exactly at `free`.
class Layout {
public:
    Layout(uint64_t clusters, const std::vector<std::pair<WString, Runs>>& files, const Runs& free,
           EngineOptions options = EngineOptions(), DWORD attributes = 0)
        : volume_(voltest::makeVolume(clusters)) {
        for (const auto& file : files) placeFile(*volume_, file.first, file.second, attributes);
        fillExcept(*volume_, free);
        f = std::make_unique<EngineFixture>(volume_, options);
        f->context().makeExtentSnapshot();
        clearStatus();
    }

    using Strategy = bool (*)(CPassState&, CDfrgContext&, CDfrgFile&, CFileExtentList&, bool&);
    // Runs a strategy on a file as file processing does; the out flag.
    bool run(Strategy strategy, const WString& path) {
        CDfrgFile file(f->context(), path, false);
        CFileExtentList extents;
        EXPECT_TRUE(file.getFileExtents(extents));
        bool done = false;
        EXPECT_TRUE(strategy(f->state(), f->context(), file, extents, done));
        // The list handed back is the file as it is now.
        EXPECT_EQ(countFragments(extents), piecesOf(*volume_, path));
        return done;
    }
    Runs runsOf(const WString& path) {
        CMemoryVolume::FileInfo info;
        EXPECT_TRUE(volume_->fileInfo(path, info));
        return info.runs;
    }
    std::vector<int32_t> details() const {
        std::vector<int32_t> out;
        for (const DfrgStatus& s : statusRecords()) out.push_back(s.detail);
        return out;
    }

    std::unique_ptr<EngineFixture> f;

private:
    std::shared_ptr<CMemoryVolume> volume_;
};

const WString kFile = u"C:\\file.bin";

// Free runs of `length` clusters from `first` on, one used cluster apart, `count` of them.
Runs stripes(uint64_t first, uint64_t length, uint64_t count) {
    Runs runs;
    for (uint64_t i = 0; i < count; ++i) runs.push_back({first + i * (length + 1), length});
    return runs;
}

}  // namespace

TEST(DefragFile, ChoosesTheSmallestRunThatHoldsTheFileTheFirstOfEquals) {
    // An exact fit wins over an earlier, larger run.
    Layout exact(1000, {{kFile, {{700, 10}, {800, 10}}}}, {{10, 50}, {100, 20}, {300, 25}});
    EXPECT_TRUE(exact.run(defragFile, kFile));
    EXPECT_EQ(exact.runsOf(kFile), (Runs{{100, 20}}));
    EXPECT_EQ(exact.f->state().counters.defragged, 1u);
    EXPECT_EQ(exact.details(), (std::vector<int32_t>{0}));

    // Without an exact fit: the smallest that holds it, the earlier of two equal ones.
    Layout ties(1000, {{kFile, {{700, 10}, {800, 5}}}}, {{10, 50}, {100, 20}, {300, 20}});
    EXPECT_TRUE(ties.run(defragFile, kFile));
    EXPECT_EQ(ties.runsOf(kFile), (Runs{{100, 15}}));

    // A contiguous file is left alone.
    Layout single(1000, {{kFile, {{700, 10}}}}, {{10, 50}});
    EXPECT_FALSE(single.run(defragFile, kFile));
    EXPECT_TRUE(single.f->takeMoveTargets().empty());
}

TEST(DefragFile, TooLargeForEveryRunIsRetriedLaterUnlessFreeSpaceItselfIsShort) {
    // A file of 100 clusters; free space in runs of 50: N + 5000 clusters, then N + 4000.
    for (uint64_t runs : {102u, 82u}) {
        Layout l(6000, {{kFile, {{5800, 50}, {5900, 50}}}}, stripes(0, 50, runs));
        l.f->state().scanActive = true;
        EXPECT_FALSE(l.run(defragFile, kFile));
        const CPassCounters& c = l.f->state().counters;
        EXPECT_EQ(c.nonDefraggable, 1u);
        if (runs == 102) {
            EXPECT_EQ(c.nonDefraggablePureSpace, 0u);
            EXPECT_EQ(l.f->state().retryFiles, std::vector<WString>{kFile});
        } else {
            EXPECT_EQ(c.nonDefraggablePureSpace, 1u);
            EXPECT_TRUE(l.f->state().retryFiles.empty());
        }
        EXPECT_TRUE(l.f->takeMoveTargets().empty());
    }
}

TEST(DefragFile, RetryListOverflowsAtAThousandAndStaysEmpty) {
    Layout l(6000, {{kFile, {{5800, 50}, {5900, 50}}}}, stripes(0, 50, 102));
    CPassState& s = l.f->state();
    // Outside a scan pass nothing is remembered.
    l.run(defragFile, kFile);
    EXPECT_TRUE(s.retryFiles.empty());
    s.scanActive = true;
    s.retryFiles.assign(CPassState::kMaxRetryFiles, u"C:\\earlier");
    l.run(defragFile, kFile);
    EXPECT_TRUE(s.retryOverflow);
    EXPECT_TRUE(s.retryFiles.empty());
    l.run(defragFile, kFile);
    EXPECT_TRUE(s.retryFiles.empty());
    EXPECT_EQ(s.counters.nonDefraggable, 3u);
}

TEST(DefragFile, RefusedMovesTryTheSameRunTwiceThenTheNextBestThenGiveUp) {
    const std::vector<std::pair<WString, Runs>> files = {{kFile, {{700, 10}, {800, 10}}}};
    const Runs free = {{100, 20}, {200, 30}};

    // Access denied: no retry can change that; the file is not tried again in this pass.
    Layout denied(1000, files, free);
    denied.f->memory().refuseMoves(ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(denied.run(defragFile, kFile));
    EXPECT_EQ(denied.f->takeMoveTargets(), (std::vector<uint64_t>{100}));
    EXPECT_EQ(denied.f->state().counters.errors, 1u);
    EXPECT_EQ(denied.f->state().refused.count(kFile), 1u);

    // Refused once as not free: the snapshot is refreshed where it was wrong, and the next try
    // goes through.
    Layout once(1000, files, free);
    once.f->memory().refuseMoves(ERROR_INVALID_PARAMETER, 1);
    EXPECT_TRUE(once.run(defragFile, kFile));
    EXPECT_EQ(once.f->takeMoveTargets(), (std::vector<uint64_t>{100, 100}));
    EXPECT_EQ(once.f->state().counters.errors, 0u);

    Layout refused(1000, files, free);
    refused.f->memory().refuseMoves(ERROR_INVALID_PARAMETER, 3);
    EXPECT_FALSE(refused.run(defragFile, kFile));
    EXPECT_EQ(refused.f->takeMoveTargets(), (std::vector<uint64_t>{100, 100, 200}));
    EXPECT_EQ(refused.f->state().counters.errors, 1u);
    EXPECT_EQ(refused.f->state().counters.defragged, 0u);
    auto lines = refused.f->logged("Error defragmenting File. Giving up.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 800);
    EXPECT_EQ(EngineFixture::property(lines[0], "FileName"), "C:\\file.bin");
    EXPECT_EQ(EngineFixture::property(lines[0], "Number of Clusters"), "20");
    EXPECT_EQ(EngineFixture::property(lines[0], "Target LCN"), "200");
    EXPECT_EQ(EngineFixture::property(lines[0], "Error"), "87");
    // Refused moves leave the snapshot telling the truth.
    EXPECT_EQ(voltest::runsOf(refused.f->context()),
              (std::vector<std::pair<uint64_t, uint64_t>>{{100, 119}, {200, 229}}));
}

TEST(FileMoves, MovesThatLeaveAFileInPiecesAreErrors) {
    // A file system that reports one step of a move done without doing it.
    EngineOptions steps;
    steps.maxClusterMoveCount = 10;
    auto lieAbout = [](Layout& l, LONGLONG vcn, LONGLONG lcn) {
        l.f->volume().pretend = [=](const MOVE_FILE_DATA& m) {
            return m.StartingVcn.QuadPart == vcn && (lcn < 0 || m.StartingLcn.QuadPart == lcn);
        };
    };

    // Twice in pieces after a move: the second time is an error.
    Layout defrag(1000, {{kFile, {{700, 15}, {800, 15}}}}, {{100, 30}, {300, 30}}, steps);
    lieAbout(defrag, 10, -1);
    EXPECT_FALSE(defrag.run(defragFile, kFile));
    EXPECT_EQ(defrag.f->state().counters.errors, 1u);
    EXPECT_EQ(defrag.f->logged("Warning: defragmented file ended up having more than one extent.").size(), 1u);

    Layout better(1000, {{kFile, {{700, 30}}}}, {{690, 10}, {100, 30}}, steps);
    lieAbout(better, 10, -1);
    EXPECT_FALSE(better.run(moveToBetterPlace, kFile));
    EXPECT_EQ(better.f->state().counters.moved, 0u);
    EXPECT_EQ(better.f->state().counters.errors, 1u);
    auto lines = better.f->logged("Error: moved file (better) ended up having more than one extent!");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 500);
    EXPECT_EQ(EngineFixture::property(lines[0], "Target LCN"), "100");

    // Shifted into the gap in front, one of its steps is not done.
    Layout left(1000, {{kFile, {{140, 30}}}}, {{100, 40}, {170, 5}, {500, 50}}, steps);
    lieAbout(left, 10, -1);
    EXPECT_FALSE(left.run(moveToLeftBorder, kFile));
    EXPECT_EQ(left.f->state().counters.moved, 0u);
    EXPECT_EQ(left.f->state().counters.errors, 1u);
    EXPECT_EQ(left.f->logged("Warning: moved file (left) ended up having more than one extent.").size(), 1u);
}

TEST(MoveToLeftBorder, MovesOnlyWhenTheGapAndTheRunBehindMergeAndNeverParks) {
    // 40 free clusters in front of an ordinary 100-cluster file, 10 behind it: shifted by 40, in
    // steps of 40, and the two free runs become one.
    Layout wide(1000, {{kFile, {{140, 100}}}}, {{100, 40}, {240, 10}, {600, 200}});
    EXPECT_TRUE(wide.run(moveToLeftBorder, kFile));
    EXPECT_EQ(wide.f->takeMoveTargets(), (std::vector<uint64_t>{100, 140, 180}));
    EXPECT_EQ(wide.runsOf(kFile), (Runs{{100, 100}}));
    EXPECT_EQ(wide.f->state().counters.moved, 1u);
    EXPECT_EQ(wide.details(), (std::vector<int32_t>{1}));

    // A file that fits into the gap goes there in one move.
    Layout fits(1000, {{kFile, {{130, 20}}}}, {{100, 30}, {150, 5}});
    EXPECT_TRUE(fits.run(moveToLeftBorder, kFile));
    EXPECT_EQ(fits.f->takeMoveTargets(), (std::vector<uint64_t>{100}));
    EXPECT_EQ(fits.runsOf(kFile), (Runs{{100, 20}}));

    // Nothing free behind it: the hole would only move, so the file stays.
    Layout nothingBehind(1000, {{kFile, {{140, 100}}}}, {{100, 40}, {600, 200}});
    EXPECT_FALSE(nothingBehind.run(moveToLeftBorder, kFile));
    EXPECT_TRUE(nothingBehind.f->takeMoveTargets().empty());

    // 10 free clusters in front of a 50-cluster file: too many steps, and parking the file
    // elsewhere would move it twice; it stays.
    Layout narrow(1000, {{kFile, {{110, 50}}}}, {{100, 10}, {160, 5}, {500, 60}});
    EXPECT_FALSE(narrow.run(moveToLeftBorder, kFile));
    EXPECT_TRUE(narrow.f->takeMoveTargets().empty());
    EXPECT_EQ(narrow.f->state().counters.errors, 0u);
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
        Layout l(1000, {{kFile, {{100, 20}}}}, c.free);
        const bool moved = l.run(moveToBetterPlace, kFile);
        EXPECT_EQ(l.runsOf(kFile), c.fileAfter);
        EXPECT_EQ(moved, !c.details.empty());
        EXPECT_EQ(l.f->state().counters.moved, c.details.empty() ? 0u : 1u);
        EXPECT_EQ(l.details(), c.details);
    }
}

TEST(DefragFile, AFileListedInSeveralAnswersOfTheFileSystemIsStillOnePiece) {
    // A compressed file of 200 units that keep 3 clusters each: 400 runs, more than one answer
    // of 256 holds, so its extent list has two records although its clusters lie together.
    auto units = [](uint64_t lcn, uint64_t count) {
        Runs runs;
        for (uint64_t i = 0; i < count; ++i) {
            runs.push_back({lcn + 3 * i, 3});
            runs.push_back({voltest::V, 13});
        }
        return runs;
    };
    Layout contiguous(4000, {{kFile, units(1000, 200)}}, {{2000, 700}}, EngineOptions(), FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_FALSE(contiguous.run(defragFile, kFile));
    EXPECT_TRUE(contiguous.f->takeMoveTargets().empty());

    // The same file in two pieces is moved once and counts as defragmented, not as an error.
    Runs apart = units(1000, 100);
    const Runs second = units(3000, 100);
    apart.insert(apart.end(), second.begin(), second.end());
    Layout fragmented(4000, {{kFile, apart}}, {{1500, 700}}, EngineOptions(), FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_TRUE(fragmented.run(defragFile, kFile));
    EXPECT_EQ(fragmented.f->state().counters.defragged, 1u);
    EXPECT_EQ(fragmented.f->state().counters.errors, 0u);
    EXPECT_EQ(fragmented.runsOf(kFile).front().lcn, 1500u);
}
