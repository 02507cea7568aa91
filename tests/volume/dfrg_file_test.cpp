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
std::function<BOOL(HANDLE, LONGLONG, RETRIEVAL_POINTERS_BUFFER*, DWORD, DWORD*)> answers(
    std::vector<std::pair<LONGLONG, std::vector<Entry>>> buffers, std::vector<LONGLONG>* asked = nullptr) {
    auto calls = std::make_shared<size_t>(0);
    return [=](HANDLE, LONGLONG vcn, RETRIEVAL_POINTERS_BUFFER* out, DWORD, DWORD* returned) -> BOOL {
        if (asked) asked->push_back(vcn);
        const size_t i = (*calls)++;
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

// A context over a scripted volume.
struct Scripted {
    std::shared_ptr<CMemoryVolume> memory;
    std::unique_ptr<CDfrgContext> context;
    CScriptedVolume* volume;
    Scripted(std::shared_ptr<CMemoryVolume> m, VolumeScript script, CDfrgVolumeSettings settings = {})
        : memory(std::move(m)) {
        setContextTickSource(&ContextFixture::now);
        auto v = std::make_unique<CScriptedVolume>(memory, std::move(script));
        volume = v.get();
        context = std::make_unique<CDfrgContext>(std::move(v), 0, settings);
    }
    ~Scripted() { setContextTickSource(nullptr); }
};

std::vector<voltest::Run> runsOfFile(CMemoryVolume& v, const WString& path) {
    CMemoryVolume::FileInfo info;
    EXPECT_TRUE(v.fileInfo(path, info));
    return info.runs;
}

}  // namespace

TEST(Extent, RangesAndTheirSizes) {
    EXPECT_FALSE(CExtent().valid());
    EXPECT_EQ(CExtent().size(), kNoCluster);
    EXPECT_EQ(CExtent(5, 5).size(), 1u);
    try {
        CExtent(6, 5);
        FAIL();
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), 87);
        EXPECT_EQ(e.message(), "Error, Extent Start is after End !");
    }
    CFileExtent a(CExtent(0, 15), CExtent(10, 13));
    a.runs = std::make_unique<CRunList>();
    a.runs->add(16, 4);
    CFileExtent b = a;
    b.runs->extendLast(16, 3);
    EXPECT_EQ(a.runs->pairs().size(), 1u);
    EXPECT_EQ(a.runs->pairs()[0].second, 4u);  // the copy is deep
    EXPECT_EQ(b.runs->largestRun(), 7u);
    EXPECT_EQ(largestRun({}), 1u);
    EXPECT_EQ(totalVirtualClusters({}), 0u);
}

TEST(Extent, BoundariesOfOrdinaryAndCompressedRecords) {
    CFileExtentList plain;
    plain.emplace_back(CExtent(0, 9), CExtent(100, 109));
    plain.emplace_back(CExtent(10, 19), CExtent(500, 509));
    uint64_t v, l;
    ASSERT_TRUE(vcnBoundary(plain, 15, 1, v, l));
    EXPECT_EQ(v, 15u);
    EXPECT_EQ(l, 505u);
    EXPECT_FALSE(vcnBoundary(plain, 21, 1, v, l));
    EXPECT_EQ(allocatedClusters(plain, 5, 14), 10u);

    // Two units: 4 clusters of 16 allocated, then 16 of 16.
    CFileExtentList packed;
    packed.emplace_back(CExtent(0, 31), CExtent(200, 219));
    packed[0].runs = std::make_unique<CRunList>();
    packed[0].runs->add(4, 4);
    packed[0].runs->extendLast(12, 0);
    packed[0].runs->add(16, 16);
    ASSERT_TRUE(vcnBoundary(packed, 5, 16, v, l));  // rounded up to the unit's end
    EXPECT_EQ(v, 16u);
    EXPECT_EQ(l, 204u);
    ASSERT_TRUE(vcnBoundary(packed, 32, 16, v, l));
    EXPECT_EQ(v, 32u);
    EXPECT_EQ(l, 220u);
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
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].vcn, CExtent(0, 99));
    EXPECT_EQ(list[0].lcn, CExtent(5000, 5099));
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
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].vcn, CExtent(0, 31));
    EXPECT_EQ(list[0].lcn, CExtent(100, 119));
    EXPECT_EQ(list[0].runs->pairs(), (std::vector<std::pair<uint64_t, uint64_t>>{{16, 4}, {16, 16}}));
    EXPECT_EQ(list[1].vcn, CExtent(32, 47));
    EXPECT_EQ(list[1].runs->pairs(), (std::vector<std::pair<uint64_t, uint64_t>>{{16, 2}}));
}

TEST(DfrgFileExtents, BuffersVirtualRunsAndMalformedRecords) {
    auto v = makeVolume(1000);
    fillClusters(*v, u"C:\\f", 10, 20);
    {
        // Adjacent runs merge within one buffer but not across two.
        VolumeScript s;
        s.retrieval = answers({{0, {{10, 10}, {20, 20}}}});
        Scripted t(v, s);
        CDfrgFile file(*t.context, u"C:\\f", false);
        CFileExtentList list;
        ASSERT_TRUE(file.getFileExtents(list));
        ASSERT_EQ(list.size(), 1u);
        EXPECT_EQ(list[0].lcn, CExtent(10, 29));
    }
    {
        std::vector<LONGLONG> asked;
        VolumeScript s;
        s.retrieval = answers({{0, {{10, 10}}}, {10, {{20, 20}}}}, &asked);
        Scripted t(v, s);
        CDfrgFile file(*t.context, u"C:\\f", false);
        CFileExtentList list;
        ASSERT_TRUE(file.getFileExtents(list));
        EXPECT_EQ(list.size(), 2u);
        EXPECT_EQ(asked, (std::vector<LONGLONG>{0, 10}));
    }
    {
        // A hole first, in a buffer of its own: not placeable.
        VolumeScript s;
        s.retrieval = answers({{0, {{16, -1}, {32, 50}}}});
        Scripted t(v, s);
        CDfrgFile file(*t.context, u"C:\\f", false);
        CFileExtentList list;
        EXPECT_FALSE(file.getFileExtents(list));
    }
    {
        // A virtual run in a file not marked compressed turns it into one.
        VolumeScript s;
        s.retrieval = answers({{0, {{8, 10}, {16, -1}, {24, 40}}}});
        Scripted t(v, s);
        CDfrgFile file(*t.context, u"C:\\f", false);
        CFileExtentList list;
        ASSERT_TRUE(file.getFileExtents(list));
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[0].vcn, CExtent(0, 15));
        EXPECT_EQ(list[0].runs->pairs(), (std::vector<std::pair<uint64_t, uint64_t>>{{16, 8}}));
        EXPECT_EQ(list[1].runs->pairs(), (std::vector<std::pair<uint64_t, uint64_t>>{{8, 8}}));
    }
    const std::vector<std::pair<LONGLONG, std::vector<Entry>>> malformed = {
        {0, {{10, 10}, {0, 30}}},   // a zero after the first entry
        {1, {{0, 0}}},              // ends before it begins (what Wine answers for any file)
        {0, {{10, 10}, {10, 30}}},  // an empty entry
    };
    for (const auto& bad : malformed) {
        VolumeScript s;
        s.retrieval = answers({bad});
        Scripted t(v, s);
        CDfrgFile file(*t.context, u"C:\\f", false);
        CFileExtentList list;
        EXPECT_FALSE(file.getFileExtents(list));
    }
}

TEST(DfrgFileOpen, OpenErrorsAreThrownWithTheFileSystemCode) {
    auto v = makeVolume(100);
    fillClusters(*v, u"C:\\locked", 1, 1);
    v->setOpenFault(u"C:\\locked", ERROR_SHARING_VIOLATION);
    ContextFixture f(v);
    try {
        CDfrgFile file(f.context(), u"C:\\locked", false);
        FAIL();
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), 32);
        EXPECT_EQ(e.message(), "Couldn't open file C:\\locked");
    }
    EXPECT_THROW(CDfrgFile(f.context(), u"C:\\missing", false), CDfrgException);
}

TEST(DfrgFileMove, StepsOfTheConfiguredSizeWithTheTargetFollowing) {
    auto v = makeVolume(10000);
    placeFile(*v, u"C:\\big", {{100, 400}, {1000, 600}});
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = 256;
    Scripted t(v, {}, settings);
    CDfrgFile file(*t.context, u"C:\\big", false);
    ASSERT_EQ(file.moveClustersTo(5000, 1000, 0), 0);
    std::vector<std::pair<LONGLONG, DWORD>> steps;
    for (const auto& m : t.volume->moves) steps.emplace_back(m.StartingLcn.QuadPart, m.ClusterCount);
    EXPECT_EQ(steps, (std::vector<std::pair<LONGLONG, DWORD>>{{5000, 256}, {5256, 256}, {5512, 256}, {5768, 232}}));
    EXPECT_EQ(runsOfFile(*v, u"C:\\big"), (std::vector<voltest::Run>{{5000, 1000}}));
    EXPECT_TRUE(v->checkIntegrity().empty());
}

TEST(DfrgFileMove, CompressedFilesMoveInUnitsOrNotAtAll) {
    auto v = makeVolume(10000);
    std::vector<voltest::Run> runs;
    for (uint64_t u = 0; u < 20; ++u) {
        runs.push_back({100 + u * 20, 10});
        runs.push_back({V, 6});
    }
    placeFile(*v, u"C:\\packed", runs, FILE_ATTRIBUTE_COMPRESSED);
    {
        CDfrgVolumeSettings small;
        small.maxClusterMoveCount = 8;
        Scripted t(v, {}, small);
        CDfrgFile file(*t.context, u"C:\\packed", false);
        EXPECT_EQ(file.moveClustersTo(5000, 320, 0), ErrorImpossible);
        EXPECT_TRUE(t.volume->moves.empty());
        EXPECT_EQ(file.shiftFileLeft(5), ErrorImpossible);
    }
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = 100;
    Scripted t(v, {}, settings);
    CDfrgFile file(*t.context, u"C:\\packed", false);
    ASSERT_EQ(file.moveClustersTo(5000, 320, 0), 0);
    std::vector<std::pair<LONGLONG, DWORD>> steps;
    for (const auto& m : t.volume->moves) steps.emplace_back(m.StartingLcn.QuadPart, m.ClusterCount);
    // Chunks of 96 clusters (six units, 60 allocated), the rest in one step.
    EXPECT_EQ(steps, (std::vector<std::pair<LONGLONG, DWORD>>{{5000, 96}, {5060, 96}, {5120, 96}, {5180, 32}}));
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
    v->setOpenFault(u"C:\\f", ERROR_FILE_NOT_FOUND);
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
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = 30;
    ContextFixture f(v, settings);
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
    auto runs = runsOf(f.context());
    EXPECT_EQ(runs, (std::vector<std::pair<uint64_t, uint64_t>>{{60, 99}, {200, 999}}));  // [350, 359] was free
    CDfrgFile file(f.context(), u"C:\\h", false);
    EXPECT_EQ(file.shiftFileLeft(500), ErrorImpossible);  // past the start of the volume
}

TEST(ListDirectory, SubdirectoriesAlwaysFilesWhenAskedLinksNever) {
    auto v = makeVolume(100);
    ASSERT_TRUE(v->createDirectory(u"C:\\d"));
    ASSERT_TRUE(v->createDirectory(u"C:\\d\\sub"));
    ASSERT_TRUE(v->placeFile(u"C:\\d\\junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0, {}));
    ASSERT_TRUE(v->placeFile(u"C:\\d\\file", 0, 10, {}));
    ASSERT_TRUE(v->placeFile(u"C:\\d\\link", FILE_ATTRIBUTE_REPARSE_POINT, 0, {}));
    ContextFixture f(v);
    auto names = [&](bool withFiles) {
        std::vector<CDirEntry> out;
        listDirectory(f.context().volume(), u"C:\\d", out, withFiles);
        std::vector<WString> n;
        for (const auto& e : out) n.push_back(e.name + (e.isDirectory ? u"/" : u""));
        return n;
    };
    EXPECT_EQ(names(true), (std::vector<WString>{u"file", u"junction/", u"sub/"}));
    EXPECT_EQ(names(false), (std::vector<WString>{u"junction/", u"sub/"}));
    std::vector<CDirEntry> root;
    listDirectory(f.context().volume(), u"C:", root, true);
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(root[0].name, u"d");
    std::vector<CDirEntry> none;
    listDirectory(f.context().volume(), u"C:\\nothere", none, true);
    EXPECT_TRUE(none.empty());
}
