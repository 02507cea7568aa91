// One scan walk over a synthesised aged volume of 12,000 files (the benchmark walks 100,000): every fragmented file for which
// a large enough free run existed ends contiguous, the counters agree with a count made straight
// from the volume, and the volume stays sound.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "engine/file_processing.h"
#include "support/engine_files_support.h"
#include "sim/image_synthesis.h"

using namespace enginetest;

namespace {

struct Fate {
    uint64_t clusters = 0;
    bool seen = false;
    bool fits = false;       // a free run of its size existed when the walk reached it
    bool pureSpace = false;  // all free space exceeded it by fewer than 4096 clusters
};

}  // namespace

TEST(AgedVolumeWalk, DefragmentsEveryFileThatFitsAndCountsTheRest) {
    CImageParameters p;
    p.volumeBytes = 1ull << 30;
    p.fileCount = 12000;
    p.fullness = 0.8;
    p.churn = 1.0;
    p.seed = 7;
    std::string error;
    std::shared_ptr<CMemoryVolume> volume = synthesizeVolume(p, error);
    ASSERT_TRUE(volume) << error;
    // Two files that cannot be made contiguous: one larger than all the free space left, one
    // larger than any free run but not than the free space.
    ASSERT_TRUE(volume->createDirectory(u"C:\\zz"));
    placeFragmentedFile(*volume, u"C:\\zz\\beyond-free-space.bin", volume->freeClusters() / 2 + 1000);
    placeFragmentedFile(*volume, u"C:\\zz\\beyond-largest-run.bin", volume->freeClusters() * 30 / 100);

    const std::vector<TreeEntry> before = listTree(*volume);
    std::map<WString, Fate> fragmented;
    for (const TreeEntry& e : before)
        if (e.pieces > 1) fragmented[e.path].clusters = e.clusters;
    // About 15 % of the files in pieces, a fifth of the volume free.
    ASSERT_GT(fragmented.size(), 1200u);
    ASSERT_LT(fragmented.size(), 2400u);

    EngineFixture f(volume);
    CMemoryVolume& memory = f.memory();
    // The fate of a fragmented file is decided by the free space when the walk reaches it.
    setStatusHook([&](const DfrgStatus& s) {
        if (s.detail != 3) return;
        auto it = fragmented.find(s.lastFile);
        if (it == fragmented.end()) return;
        Fate& fate = it->second;
        fate.seen = true;
        fate.fits = hasFreeRun(memory, fate.clusters);
        fate.pureSpace = static_cast<int64_t>(memory.freeClusters()) - static_cast<int64_t>(fate.clusters) < 4096;
    });
    f.state().scanActive = true;
    const auto started = std::chrono::steady_clock::now();
    walkDirectory(f.state(), f.context(), u"C:", WString(), false, false);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    setStatusHook(nullptr);

    const CPassCounters& c = f.state().counters;
    EXPECT_EQ(c.processed, before.size());
    uint64_t fits = 0, pure = 0;
    std::vector<WString> retry;
    for (const TreeEntry& e : before) {
        auto it = fragmented.find(e.path);
        if (it == fragmented.end()) continue;
        const Fate& fate = it->second;
        ASSERT_TRUE(fate.seen);
        const uint64_t pieces = piecesOf(memory, e.path);
        if (fate.fits) {
            ++fits;
            EXPECT_EQ(pieces, 1u) << platform::utf16ToUtf8(e.path);
        } else {
            EXPECT_GT(pieces, 1u) << platform::utf16ToUtf8(e.path);
            if (fate.pureSpace) ++pure;
            else retry.push_back(e.path);
        }
    }
    EXPECT_EQ(c.defragged, fits);
    EXPECT_EQ(c.nonDefraggable, fragmented.size() - fits);
    EXPECT_EQ(c.nonDefraggablePureSpace, pure);
    EXPECT_EQ(c.errors, 0u);
    EXPECT_GE(c.nonDefraggablePureSpace, 1u);
    EXPECT_GE(c.nonDefraggable - c.nonDefraggablePureSpace, 1u);
    EXPECT_GT(c.moved, 0u);
    if (retry.size() <= CPassState::kMaxRetryFiles) {
        EXPECT_FALSE(f.state().retryOverflow);
        EXPECT_EQ(f.state().retryFiles, retry);
    } else {
        EXPECT_TRUE(f.state().retryOverflow);
    }

    // No file was broken up by the moves of others.
    uint64_t fragmentedAfter = 0;
    for (const TreeEntry& e : listTree(memory)) fragmentedAfter += e.pieces > 1;
    EXPECT_EQ(fragmentedAfter, fragmented.size() - fits);
    EXPECT_EQ(memory.checkIntegrity(), std::vector<std::string>());
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("aged walk: %.1f s (with the test's own free-space probes), %zu entries, %zu fragmented, "
                "%llu defragmented, %llu moved, %llu left (%llu for space), %zu to retry\n",
                seconds, before.size(), fragmented.size(), u(c.defragged), u(c.moved), u(c.nonDefraggable),
                u(c.nonDefraggablePureSpace), retry.size());
}
