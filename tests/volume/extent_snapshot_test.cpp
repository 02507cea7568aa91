// The free-space snapshot: building it from the bitmap, bounding it, refreshing it, and the
// searches over it.
#include <gtest/gtest.h>

#include <random>

#include "platform/last_error.h"
#include "support/volume_test_support.h"
#include "volume/extent_snapshot.h"

using namespace voltest;
using Runs = std::vector<std::pair<uint64_t, uint64_t>>;

namespace {

CExtentSnapshot& snap(CDfrgContext& c) {
    CExtentSnapshot* s = nullptr;
    c.snapshot(s);
    return *s;
}

// The free clusters the snapshot claims, as a bit per cluster.
std::vector<bool> claimedFree(CDfrgContext& c, uint64_t total) {
    std::vector<bool> free(total, false);
    for (auto r : runsOf(c)) {
        EXPECT_LT(r.second, total);
        for (uint64_t x = r.first; x <= r.second && x < total; ++x) free[x] = true;
    }
    return free;
}

std::vector<bool> actualFree(CMemoryVolume& v, uint64_t total) {
    std::vector<bool> free(total);
    for (uint64_t x = 0; x < total; ++x) free[x] = !v.isClusterUsed(x);
    return free;
}

}  // namespace

TEST(ExtentSnapshotBuild, FreeRunsOfTheBitmap) {
    auto v = makeVolume(16);
    fillClusters(*v, u"C:\\used", 2, 3);
    ContextFixture f(v);
    CExtentSnapshot* none = reinterpret_cast<CExtentSnapshot*>(1);
    EXPECT_FALSE(f.context().snapshot(none));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(f.context().totalFreeClusters(), kNoCluster);
    EXPECT_EQ(f.context().snapshotMemory(), 0u);

    ASSERT_TRUE(f.context().makeExtentSnapshot());
    EXPECT_EQ(runsOf(f.context()), (Runs{{0, 1}, {5, 15}}));
    EXPECT_EQ(f.context().totalFreeClusters(), 13u);
    EXPECT_EQ(f.context().snapshotMemory(), 32u);

    auto full = makeVolume(64);
    fillClusters(*full, u"C:\\all", 0, 64);
    ContextFixture g(full);
    g.context().makeExtentSnapshot();
    EXPECT_TRUE(runsOf(g.context()).empty());
    EXPECT_EQ(firstFit(snap(g.context()), 1), kNoCluster);
    EXPECT_EQ(g.context().totalFreeClusters(), 0u);
}

TEST(ExtentSnapshotBuild, ReadsInChunksAndMatchesTheBitmapAcrossThem) {
    // Long uniform stretches (word skips) and single-cluster changes, over three chunks.
    const uint64_t total = 150001;
    auto v = makeVolume(total);
    std::mt19937 rng(3);
    uint64_t at = 0;
    int n = 0;
    while (at < total) {
        uint64_t len = (rng() % 3 == 0) ? 1 + rng() % 3 : 1 + rng() % 700;
        len = std::min(len, total - at);
        if (n++ % 2) fillClusters(*v, u"C:\\f" + platform::utf8ToUtf16(std::to_string(n)), at, len);
        at += len;
    }
    ContextFixture f(v);
    f.context().makeExtentSnapshot();
    EXPECT_EQ(claimedFree(f.context(), total), actualFree(*v, total));
    Runs runs = runsOf(f.context());
    for (size_t i = 1; i < runs.size(); ++i) EXPECT_GT(runs[i].first, runs[i - 1].second + 1);

    VolumeScript script;
    auto counted = std::make_unique<CScriptedVolume>(v, script);
    auto* volume = counted.get();
    CExtentSnapshot s(100000);
    CCriticalSection lock;
    scanVolumeBitmap(*volume, s, lock, 0, kNoCluster, false, nullptr);
    EXPECT_EQ(volume->bitmapRequests, (std::vector<LONGLONG>{0, 72000, 144000}));
}

TEST(ExtentSnapshotBuild, AFailingBitmapEndsTheScanWithWhatWasFound) {
    auto v = makeVolume(100000);
    VolumeScript script;
    int calls = 0;
    CSimulatedVolume* inner = nullptr;
    script.bitmap = [&](LONGLONG lcn, VOLUME_BITMAP_BUFFER* out, DWORD size, DWORD* returned) -> BOOL {
        if (++calls > 1) {
            platform::setLastError(ERROR_NOT_READY);
            return FALSE;
        }
        return inner->CSimulatedVolume::getVolumeBitmap(lcn, out, size, returned);
    };
    CScriptedVolume volume(v, script);
    inner = &volume;
    CExtentSnapshot s(1000);
    CCriticalSection lock;
    scanVolumeBitmap(volume, s, lock, 0, kNoCluster, false, nullptr);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s.runs().front(), CExtent(0, 71999));
}

TEST(ExtentSnapshotList, AFullListKeepsTheLargestRuns) {
    CExtentSnapshot s(2);
    s.addFreeRun(CExtent(0, 4), false);
    s.addFreeRun(CExtent(10, 12), false);
    EXPECT_EQ(*s.smallestRun(), CExtent(10, 12));
    s.addFreeRun(CExtent(20, 27), false);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.runs().front(), CExtent(0, 4));
    EXPECT_EQ(s.runs().back(), CExtent(20, 27));
    EXPECT_EQ(*s.smallestRun(), CExtent(0, 4));
    s.addFreeRun(CExtent(40, 44), false);  // not strictly larger
    EXPECT_EQ(s.runs().front(), CExtent(0, 4));
    EXPECT_EQ(s.size(), 2u);

    CExtentSnapshot nothing(0);
    nothing.addFreeRun(CExtent(0, 100), true);
    EXPECT_EQ(nothing.size(), 0u);
}

TEST(ExtentSnapshotList, MarkUsedSplitsTrimsAndMovesTheMarker) {
    CExtentSnapshot s(10);
    s.addFreeRun(CExtent(5, 30), false);
    s.addFreeRun(CExtent(40, 100), false);
    s.markUsed(CExtent(10, 19));
    EXPECT_EQ(s.runs(), (CExtentSnapshot::Runs{CExtent(5, 9), CExtent(20, 30), CExtent(40, 100)}));
    EXPECT_EQ(*s.smallestRun(), CExtent(5, 9));
    s.markUsed(CExtent(0, 9));  // removes the marked run: the marker is found again
    EXPECT_EQ(*s.smallestRun(), CExtent(20, 30));
    s.markUsed(CExtent(25, 45));  // the back of one run and the front of the next
    EXPECT_EQ(s.runs(), (CExtentSnapshot::Runs{CExtent(20, 24), CExtent(46, 100)}));
    EXPECT_EQ(*s.smallestRun(), CExtent(20, 24));
}

TEST(ExtentSnapshotList, OrderedInsertMergesOnlyFromTheRunBefore) {
    CExtentSnapshot a(10);
    a.addFreeRun(CExtent(0, 9), false);
    a.addFreeRun(CExtent(20, 29), false);
    a.addFreeRun(CExtent(10, 19), true);
    EXPECT_EQ(a.runs(), (CExtentSnapshot::Runs{CExtent(0, 29)}));
    EXPECT_EQ(*a.smallestRun(), CExtent(0, 29));

    CExtentSnapshot b(10);
    b.addFreeRun(CExtent(0, 8), false);
    b.addFreeRun(CExtent(20, 29), false);
    b.addFreeRun(CExtent(10, 19), true);
    EXPECT_EQ(b.runs(), (CExtentSnapshot::Runs{CExtent(0, 8), CExtent(10, 19), CExtent(20, 29)}));

    CExtentSnapshot c(10);
    c.addFreeRun(CExtent(50, 60), true);
    c.addFreeRun(CExtent(5, 8), true);
    c.addFreeRun(CExtent(9, 55), true);  // swallows the run after it
    EXPECT_EQ(c.runs(), (CExtentSnapshot::Runs{CExtent(5, 60)}));
}

TEST(ExtentSnapshotSearch, FirstBestAndNeighbourRuns) {
    CExtentSnapshot s(10);
    for (CExtent e : {CExtent(0, 5), CExtent(101, 104), CExtent(150, 153), CExtent(200, 299)}) s.addFreeRun(e, false);
    EXPECT_EQ(firstFit(s, 4), 0u);
    EXPECT_EQ(firstFit(s, 7), 200u);
    EXPECT_EQ(firstFit(s, 101), kNoCluster);
    EXPECT_EQ(bestFit(s, 4, kNoCluster), 101u);
    EXPECT_EQ(bestFit(s, 4, 101), 150u);
    EXPECT_EQ(bestFit(s, 5, kNoCluster), 0u);
    EXPECT_EQ(bestFit(s, 500, kNoCluster), kNoCluster);
    EXPECT_EQ(freeRunAfter(s, 100), 4u);
    EXPECT_EQ(freeRunAfter(s, 99), 0u);
    EXPECT_EQ(freeRunBefore(s, 105), 4u);
    EXPECT_EQ(freeRunBefore(s, 0), 0u);
    EXPECT_EQ(freeRunBefore(s, 107), 0u);
    EXPECT_EQ(startOfRunBefore(s, CExtent(154, 160)), 150u);
    EXPECT_EQ(startOfRunBefore(s, CExtent(155, 160)), kNoCluster);
    EXPECT_EQ(startOfRunBefore(s, CExtent()), kNoCluster);
}

TEST(ExtentSnapshotRefresh, RandomChangesRefreshedPiecewiseMatchTheVolume) {
    const uint64_t total = 80000;
    auto v = makeVolume(total);
    std::mt19937 rng(11);
    for (int i = 0; i < 300; ++i) {
        uint64_t lcn = rng() % total, len = 1 + rng() % 200;
        v->placeFile(u"C:\\f" + platform::utf8ToUtf16(std::to_string(i)), 0, std::min(len, total - lcn) * 4096,
                     {{lcn, std::min(len, total - lcn)}});
    }
    ContextFixture f(v);
    f.context().makeExtentSnapshot();
    for (int i = 0; i < 300; ++i) {
        const WString name = u"C:\\f" + platform::utf8ToUtf16(std::to_string(i));
        CMemoryVolume::FileInfo info;
        if (!v->fileInfo(name, info) || info.runs.empty()) continue;
        const voltest::Run old = info.runs[0];
        if (rng() % 2) {
            v->deleteFile(name);
            f.context().refreshSnapshot(old.lcn, old.lcn + old.length - 1);
        } else {
            const uint64_t lcn = rng() % (total - old.length);
            if (!v->placeFile(name + u"x", 0, old.length * 4096, {{lcn, old.length}})) continue;
            f.context().refreshSnapshot(lcn, lcn + old.length - 1);
        }
    }
    EXPECT_EQ(claimedFree(f.context(), total), actualFree(*v, total));


    // A whole refresh rebuilds: runs left adjacent by piecewise refreshes become one.
    f.context().refreshSnapshot(0, kNoCluster);
    Runs runs = runsOf(f.context());
    for (size_t i = 1; i < runs.size(); ++i) EXPECT_GT(runs[i].first, runs[i - 1].second + 1);
    EXPECT_EQ(claimedFree(f.context(), total), actualFree(*v, total));
}

TEST(ExtentSnapshotRefresh, ARangePastTheEndStopsThereAndWalksTheLastCluster) {
    auto v = makeVolume(100);
    fillClusters(*v, u"C:\\a", 90, 9);
    fillClusters(*v, u"C:\\b", 99, 1);
    ContextFixture f(v);
    f.context().makeExtentSnapshot();
    EXPECT_EQ(runsOf(f.context()), (Runs{{0, 89}}));
    v->deleteFile(u"C:\\b");
    f.context().refreshSnapshot(95, 1000);
    EXPECT_EQ(runsOf(f.context()), (Runs{{0, 89}, {99, 99}}));
}
