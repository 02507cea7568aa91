// One scan walk over a synthesised aged volume: every fragmented file for which a large enough free
// run existed ends contiguous, the counters agree with the volume, and no other file is broken up.
#include <gtest/gtest.h>

#include <map>

#include "engine/file_processing.h"
#include "sim/image_synthesis.h"
#include "support/engine_state_support.h"

using namespace enginetest;

TEST(AgedVolumeWalk, DefragmentsEveryFileThatFitsAndCountsTheRest) {
    CImageParameters p;
    p.volumeBytes = 512ull << 20;
    p.fileCount = 3000;
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
    std::map<WString, uint64_t> fragmented;
    for (const TreeEntry& e : before)
        if (e.pieces > 1) fragmented[e.path] = e.clusters;
    ASSERT_GT(fragmented.size(), 200u);

    EngineFixture f(volume);
    CMemoryVolume& memory = f.memory();
    std::map<WString, bool> fits;  // a free run of its size existed when the walk reached it
    setStartHook([&](const WString& file) {
        auto it = fragmented.find(file);
        if (it == fragmented.end()) return;
        fits[file] = false;
        for (const CMemoryVolume::Run& r : freeRuns(memory)) fits[file] = fits[file] || r.length >= it->second;
    });
    f.state.scanActive = true;
    walkDirectory(f.state, f.context(), u"C:", WString(), false, false);
    clearStatus();

    ASSERT_EQ(fits.size(), fragmented.size());
    uint64_t fitting = 0;
    for (const auto& entry : fits) {
        EXPECT_EQ(piecesOf(memory, entry.first) == 1, entry.second) << platform::utf16ToUtf8(entry.first);
        fitting += entry.second;
    }
    const CPassCounters& c = f.state.counters;
    EXPECT_EQ(c.processed, before.size());
    EXPECT_EQ(c.errors, 0u);
    EXPECT_EQ(c.defragged, fitting);
    EXPECT_EQ(c.nonDefraggable, fragmented.size() - fitting);
    EXPECT_GE(c.nonDefraggablePureSpace, 1u);
    EXPECT_GE(c.nonDefraggable - c.nonDefraggablePureSpace, 1u);
    EXPECT_GT(c.moved, 0u);
    for (const TreeEntry& e : listTree(memory))
        EXPECT_TRUE(e.pieces < 2 || fragmented.count(e.path)) << platform::utf16ToUtf8(e.path);
    EXPECT_EQ(memory.checkIntegrity(), std::vector<std::string>());
}
