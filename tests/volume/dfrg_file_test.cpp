// Extents of a file, the queries over them, cluster moves and the directory listing.
#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "platform/dfrg_exception.h"
#include "support/volume_test_support.h"
#include "volume/dfrg_file.h"
#include "volume/extent_snapshot.h"

using namespace voltest;

namespace {

struct Entry {
    LONGLONG nextVcn, lcn;
};

// Retrieval answers written by the test: one list of entries per call.
CMemoryVolume::ControlAnswer answers(std::vector<std::pair<LONGLONG, std::vector<Entry>>> buffers,
                                     std::vector<LONGLONG>* asked) {
    return [=](HANDLE, const void* in, DWORD, void* buffer, DWORD, DWORD* returned) -> BOOL {
        asked->push_back(static_cast<const STARTING_VCN_INPUT_BUFFER*>(in)->StartingVcn.QuadPart);
        auto* out = static_cast<RETRIEVAL_POINTERS_BUFFER*>(buffer);
        const size_t i = asked->size() - 1;
        if (i >= buffers.size()) {
            platform::setLastError(ERROR_HANDLE_EOF);
            return FALSE;
        }
        out->StartingVcn.QuadPart = buffers[i].first;
        out->ExtentCount = static_cast<DWORD>(buffers[i].second.size());
        for (size_t k = 0; k < buffers[i].second.size(); ++k) {
            out->Extents[k].NextVcn.QuadPart = buffers[i].second[k].nextVcn;
            out->Extents[k].Lcn.QuadPart = buffers[i].second[k].lcn;
        }
        *returned = static_cast<DWORD>(16 + 16 * buffers[i].second.size());
        if (i + 1 < buffers.size()) {
            platform::setLastError(ERROR_MORE_DATA);
            return FALSE;
        }
        return TRUE;
    };
}

using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;

// Each record's vcn and lcn ranges, and the run lists of those that carry one.
std::vector<CExtent> records(const CFileExtentList& list, std::vector<Pairs>* runs = nullptr) {
    std::vector<CExtent> out;
    for (const CFileExtent& e : list) {
        out.insert(out.end(), {e.vcn, e.lcn});
        if (e.runs && runs) runs->push_back(e.runs->pairs());
    }
    return out;
}

// The moves asked of a volume from now on, as (target, clusters).
std::function<std::vector<std::pair<LONGLONG, DWORD>>()> watchMoves(CMemoryVolume& v) {
    auto moves = watchControl<MOVE_FILE_DATA>(v, FSCTL_MOVE_FILE);
    return [moves] {
        std::vector<std::pair<LONGLONG, DWORD>> out;
        for (const auto& m : *moves) out.emplace_back(m.StartingLcn.QuadPart, m.ClusterCount);
        return out;
    };
}

CDfrgVolumeSettings moveCount(uint32_t clusters) {
    CDfrgVolumeSettings s;
    s.maxClusterMoveCount = clusters;
    return s;
}

}  // namespace

TEST(Extent, RangesSizesAndBoundariesOfOrdinaryAndCompressedRecords) {
    EXPECT_FALSE(CExtent().valid());
    EXPECT_EQ(CExtent().size(), kNoCluster);
    EXPECT_EQ(CExtent(5, 5).size(), 1u);
    expectDfrgError([] { CExtent(6, 5); }, 87, "Error, Extent Start is after End !");
    CFileExtent a(CExtent(0, 15), CExtent(10, 13));
    a.runs = std::make_unique<CRunList>();
    a.runs->add(16, 4);
    CFileExtent b = a;
    b.runs->extendLast(16, 3);
    EXPECT_EQ(a.runs->pairs(), (Pairs{{16, 4}}));  // the copy is deep
    EXPECT_EQ(b.runs->largestRun(), 7u);
    EXPECT_EQ(largestRun({}), 1u);
    EXPECT_EQ(totalVirtualClusters({}), 0u);

    CFileExtentList plain;
    plain.emplace_back(CExtent(0, 9), CExtent(100, 109));
    plain.emplace_back(CExtent(10, 19), CExtent(500, 509));
    uint64_t v, l;
    ASSERT_TRUE(vcnBoundary(plain, 15, 1, v, l));
    EXPECT_EQ(std::make_pair(v, l), (std::pair<uint64_t, uint64_t>(15, 505)));
    EXPECT_FALSE(vcnBoundary(plain, 21, 1, v, l));
    EXPECT_EQ(allocatedClusters(plain, 5, 10), 6u);  // the second record counts from its first cluster

    // Two units: 4 clusters of 16 allocated, then 16 of 16.
    CFileExtentList packed;
    packed.emplace_back(CExtent(0, 31), CExtent(200, 219));
    packed[0].runs = std::make_unique<CRunList>();
    packed[0].runs->add(4, 4);
    packed[0].runs->extendLast(12, 0);
    packed[0].runs->add(16, 16);
    ASSERT_TRUE(vcnBoundary(packed, 5, 16, v, l));  // rounded up to the unit's end
    EXPECT_EQ(std::make_pair(v, l), (std::pair<uint64_t, uint64_t>(16, 204)));
    ASSERT_TRUE(vcnBoundary(packed, 32, 16, v, l));
    EXPECT_EQ(std::make_pair(v, l), (std::pair<uint64_t, uint64_t>(32, 220)));
    EXPECT_EQ(allocatedClusters(packed, 0, 15), 4u);
    EXPECT_EQ(allocatedClusters(packed, 0, 31), 20u);
    EXPECT_EQ(largestRun(packed), 16u);
    EXPECT_EQ(totalLogicalClusters(packed), 20u);
}

TEST(DfrgFileExtents, WhatTheFileSystemReports) {
    auto v = makeVolume(10000);
    fillClusters(*v, u"C:\\one", 5000, 100);
    v->placeFile(u"C:\\empty", 0, 0, {});
    placeFile(*v, u"C:\\packed", {{100, 4}, {V, 12}, {104, 16}, {200, 2}, {V, 14}}, FILE_ATTRIBUTE_COMPRESSED);
    ContextFixture f(v);

    CFileExtentList list;
    CDfrgFile one(f.context(), u"C:\\one", false);
    ASSERT_TRUE(one.getFileExtents(list));
    EXPECT_EQ(records(list), (std::vector<CExtent>{{0, 99}, {5000, 5099}}));
    EXPECT_FALSE(list[0].runs);
    EXPECT_EQ(one.size(), 100u * 4096);

    CDfrgFile empty(f.context(), u"empty", false);  // the drive is put in front
    EXPECT_EQ(empty.path(), u"C:\\empty");
    ASSERT_TRUE(empty.getFileExtents(list));
    EXPECT_TRUE(list.empty());

    CDfrgFile packed(f.context(), u"C:\\packed", false);
    EXPECT_EQ(packed.moveGranularity(), 16u);
    ASSERT_TRUE(packed.getFileExtents(list));
    // 100..103 and 104..119 touch: one record; 200.. is another.
    std::vector<Pairs> runs;
    EXPECT_EQ(records(list, &runs), (std::vector<CExtent>{{0, 31}, {100, 119}, {32, 47}, {200, 201}}));
    EXPECT_EQ(runs, (std::vector<Pairs>{{{16, 4}, {16, 16}}, {{16, 2}}}));
}

TEST(DfrgFileExtents, BuffersVirtualRunsAndMalformedRecords) {
    auto v = makeVolume(1000);
    fillClusters(*v, u"C:\\f", 10, 20);
    struct Case {
        const char* name;
        std::vector<std::pair<LONGLONG, std::vector<Entry>>> buffers;
        bool ok;
        std::vector<CExtent> records;
        std::vector<Pairs> runs;    // of the records that carry run lists
    };
    const Case cases[] = {
        {"adjacent runs merge in one buffer", {{0, {{10, 10}, {20, 20}}}}, true, {{0, 19}, {10, 29}}, {}},
        {"but not across two", {{0, {{10, 10}}}, {10, {{20, 20}}}}, true,
         {{0, 9}, {10, 19}, {10, 19}, {20, 29}}, {}},
        {"a hole first is not placeable", {{0, {{16, -1}, {32, 50}}}}, false, {}, {}},
        {"a virtual run makes the file compressed", {{0, {{8, 10}, {16, -1}, {24, 40}}}}, true,
         {{0, 15}, {10, 17}, {16, 23}, {40, 47}}, {{{16, 8}}, {{8, 8}}}},
        {"a zero after the first entry", {{0, {{10, 10}, {0, 30}}}}, false, {}, {}},
        {"ends before it begins (Wine's answer)", {{1, {{0, 0}}}}, false, {}, {}},
        {"an empty entry", {{0, {{10, 10}, {10, 30}}}}, false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<LONGLONG> asked;
        v->answerControl(FSCTL_GET_RETRIEVAL_POINTERS, answers(c.buffers, &asked));
        ContextFixture t(v);
        CDfrgFile file(t.context(), u"C:\\f", false);
        CFileExtentList list;
        ASSERT_EQ(file.getFileExtents(list), c.ok);
        if (!c.ok) continue;
        std::vector<Pairs> runs;
        EXPECT_EQ(records(list, &runs), c.records);
        EXPECT_EQ(runs, c.runs);
        EXPECT_EQ(asked.size(), c.buffers.size());
        EXPECT_EQ(asked.back(), c.buffers.back().first);
    }
}

TEST(DfrgFileOpen, OpenErrorsAreThrownWithTheFileSystemCode) {
    auto v = makeVolume(100);
    fillClusters(*v, u"C:\\locked", 1, 1);
    v->setOpenFault(u"C:\\locked", ERROR_SHARING_VIOLATION);
    ContextFixture f(v);
    expectDfrgError([&] { CDfrgFile(f.context(), u"C:\\locked", false); }, 32, "Couldn't open file C:\\locked");
    EXPECT_THROW(CDfrgFile(f.context(), u"C:\\missing", false), CDfrgException);
}

TEST(DfrgFileMove, StepsOfTheConfiguredSizeWithTheTargetFollowing) {
    auto v = makeVolume(10000);
    placeFile(*v, u"C:\\big", {{100, 400}, {1000, 600}});
    ContextFixture t(v, moveCount(256));
    const auto steps = watchMoves(*v);
    CDfrgFile file(t.context(), u"C:\\big", false);
    ASSERT_EQ(file.moveClustersTo(5000, 1000, 0), 0);
    EXPECT_EQ(steps(), (std::vector<std::pair<LONGLONG, DWORD>>{{5000, 256}, {5256, 256}, {5512, 256},
                                                                         {5768, 232}}));
    EXPECT_EQ(runsOfFile(*v, u"C:\\big"), (std::vector<voltest::Run>{{5000, 1000}}));
    EXPECT_TRUE(v->checkIntegrity().empty());
}

TEST(DfrgFileMove, CompressedFilesMoveInUnitsOrNotAtAll) {
    auto v = makeVolume(10000);
    std::vector<voltest::Run> runs;
    for (uint64_t u = 0; u < 20; ++u) runs.insert(runs.end(), {{100 + u * 20, 10}, {V, 6}});
    placeFile(*v, u"C:\\packed", runs, FILE_ATTRIBUTE_COMPRESSED);
    {
        ContextFixture t(v, moveCount(8));
        CDfrgFile file(t.context(), u"C:\\packed", false);
        EXPECT_EQ(file.moveClustersTo(5000, 320, 0), ErrorImpossible);
        EXPECT_EQ(v->movesDone(), 0u);
        EXPECT_EQ(file.shiftFileLeft(5), ErrorImpossible);
    }
    ContextFixture t(v, moveCount(100));
    const auto steps = watchMoves(*v);
    CDfrgFile file(t.context(), u"C:\\packed", false);
    ASSERT_EQ(file.moveClustersTo(5000, 320, 0), 0);
    // Chunks of 96 clusters (six units, 60 allocated), the rest in one step.
    EXPECT_EQ(steps(), (std::vector<std::pair<LONGLONG, DWORD>>{{5000, 96}, {5060, 96}, {5120, 96},
                                                                         {5180, 32}}));
    EXPECT_TRUE(v->checkIntegrity().empty());
}

TEST(DfrgFileMove, RefusalsAndFailuresBecomeResultCodes) {
    auto v = makeVolume(10000);
    fillClusters(*v, u"C:\\f", 100, 50);
    fillClusters(*v, u"C:\\g", 200, 10);
    ContextFixture f(v);
    CDfrgFile file(f.context(), u"C:\\f", false);
    v->refuseMoves(ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(file.moveClustersTo(5000, 50, 0), 5);
    EXPECT_EQ(file.moveClustersTo(190, 50, 0), 87);  // target not free
    v->refuseMoves(ERROR_NOT_READY, 1);
    EXPECT_EQ(file.moveClustersTo(5000, 50, 0), ErrorFailed);

    // Closed by a pause and gone meanwhile: the reopen's error comes back.
    file.onPause();
    v->setOpenFault(u"c:/F", ERROR_FILE_NOT_FOUND);  // the fault's path is matched as the volume names files
    EXPECT_EQ(file.moveClustersTo(5000, 50, 0), ErrorFailed);  // extents cannot be read
    EXPECT_EQ(file.size(), 0u);
    v->setOpenFault(u"C:\\f", 0);
    EXPECT_EQ(file.moveClustersTo(5000, 50, 0), 0);
    EXPECT_EQ(runsOfFile(*v, u"C:\\f"), (std::vector<voltest::Run>{{5000, 50}}));
}

TEST(DfrgFileShift, ShiftsIntoTheGapInFrontAndRefreshesOnFailure) {
    auto v = makeVolume(1000);
    fillClusters(*v, u"C:\\front", 0, 60);
    fillClusters(*v, u"C:\\f", 100, 100);
    ContextFixture f(v, moveCount(30));
    f.context().makeExtentSnapshot();
    {
        CDfrgFile file(f.context(), u"C:\\f", false);
        ASSERT_EQ(file.shiftFileLeft(40), 0);
    }
    EXPECT_EQ(runsOfFile(*v, u"C:\\f"), (std::vector<voltest::Run>{{60, 100}}));
    EXPECT_TRUE(v->checkIntegrity().empty());

    // A refused step refreshes the range it was to go to, no more.
    fillClusters(*v, u"C:\\late", 300, 10);  // the snapshot does not know this one
    fillClusters(*v, u"C:\\h", 400, 10);
    EXPECT_EQ(runsOf(f.context()).back(), (std::pair<uint64_t, uint64_t>{200, 999}));
    {
        CDfrgFile file(f.context(), u"C:\\h", false);
        v->refuseMoves(ERROR_INVALID_PARAMETER, 1);
        EXPECT_EQ(file.shiftFileLeft(50), 87);
    }
    EXPECT_EQ(runsOf(f.context()), (Pairs{{60, 99}, {200, 999}}));  // [350, 359] was free
    CDfrgFile file(f.context(), u"C:\\h", false);
    EXPECT_EQ(file.shiftFileLeft(500), ErrorImpossible);  // past the start of the volume
    EXPECT_EQ(file.shiftFileLeft(1), 0);                   // a single cluster is a whole step
    EXPECT_EQ(runsOfFile(*v, u"C:\\h"), (std::vector<voltest::Run>{{399, 10}}));
}

TEST(ListDirectory, SubdirectoriesAlwaysFilesWhenAskedLinksNever) {
    auto v = makeVolume(100);
    ASSERT_TRUE(v->createDirectory(u"C:\\d"));
    ASSERT_TRUE(v->createDirectory(u"C:\\d\\sub"));
    ASSERT_TRUE(v->placeFile(u"C:\\d\\junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0, {}));
    ASSERT_TRUE(v->placeFile(u"C:\\d\\file", 0, 10, {}));
    ASSERT_TRUE(v->placeFile(u"C:\\d\\link", FILE_ATTRIBUTE_REPARSE_POINT, 0, {}));
    ContextFixture f(v);
    auto names = [&](const WString& dir, bool withFiles) {
        std::vector<CDirEntry> out;
        listDirectory(f.context().volume(), dir, out, withFiles);
        std::vector<WString> n;
        for (const auto& e : out) n.push_back(e.name + (e.isDirectory ? u"/" : u""));
        return n;
    };
    EXPECT_EQ(names(u"C:\\d", true), (std::vector<WString>{u"file", u"junction/", u"sub/"}));
    EXPECT_EQ(names(u"C:\\d", false), (std::vector<WString>{u"junction/", u"sub/"}));
    EXPECT_EQ(names(u"C:", true), (std::vector<WString>{u"d/"}));
    EXPECT_TRUE(names(u"C:\\nothere", true).empty());
}
