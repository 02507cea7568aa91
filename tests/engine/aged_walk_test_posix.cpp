// One scan walk over a synthesised aged volume on which the file system refuses moves and files
// are locked, denied, broken or vanish under the walk: every fragmented file for which a large
// enough free run existed ends contiguous, only the faults the rules name are logged and counted,
// the counters agree with a count made straight from the volume, and the volume stays sound.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "engine/file_processing.h"
#include "sim/image_synthesis.h"
#include "support/engine_state_support.h"

using namespace enginetest;

namespace {

struct Fate {
    uint64_t clusters = 0;
    bool seen = false;
    bool fits = false;       // a free run of its size existed when the walk reached it
    bool pureSpace = false;  // all free space exceeded it by fewer than 4096 clusters
};

std::string utf8(const WString& s) { return platform::utf16ToUtf8(s); }

}  // namespace

TEST(AgedVolumeWalk, DefragmentsEveryFileThatFitsCountsTheRestAndGoesOnPastFaults) {
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
    std::map<WString, Fate> fragmented;
    std::vector<WString> files;
    for (const TreeEntry& e : before) {
        if (e.pieces < 2) continue;
        fragmented[e.path].clusters = e.clusters;
        if (!e.directory) files.push_back(e.path);
    }
    ASSERT_GT(fragmented.size(), 200u);

    // Locked, denied and broken files, and one that is deleted when the walk reaches it.
    const WString locked = files[1], denied = files[3], broken = files[5], vanishing = files[7];
    volume->setOpenFault(locked, ERROR_SHARING_VIOLATION);
    volume->setOpenFault(denied, ERROR_ACCESS_DENIED);
    volume->setOpenFault(broken, 1117);
    for (const WString& path : {locked, denied, broken, vanishing}) fragmented.erase(path);

    EngineFixture f(volume);
    CMemoryVolume& memory = f.memory();
    // The first file with two runs that hold it has all its moves refused with 87; the next with
    // one such run has its first move refused with 5. The fate of every other fragmented file is
    // decided by the free space when the walk reaches it.
    WString refused87, refused5;
    setStartHook([&](const WString& file) {
        if (file == vanishing) memory.deleteFile(vanishing);
        auto it = fragmented.find(file);
        if (it == fragmented.end()) return;
        Fate& fate = it->second;
        fate.seen = true;
        fate.fits = hasFreeRun(memory, fate.clusters);
        fate.pureSpace = static_cast<int64_t>(memory.freeClusters()) - static_cast<int64_t>(fate.clusters) < 4096;
        if (!refused5.empty() || !fate.fits) return;
        uint64_t holding = 0;
        for (const CMemoryVolume::Run& r : freeRuns(memory)) holding += r.length >= fate.clusters;
        if (refused87.empty() && holding >= 2) {
            refused87 = file;
            memory.refuseMoves(ERROR_INVALID_PARAMETER, 3);
        } else if (!refused87.empty()) {
            refused5 = file;
            memory.refuseMoves(ERROR_ACCESS_DENIED, 1);
        }
    });
    f.state.scanActive = true;
    walkDirectory(f.state, f.context(), u"C:", WString(), false, false);
    clearStatus();
    ASSERT_FALSE(refused5.empty());

    const CPassCounters& c = f.state.counters;
    EXPECT_EQ(c.processed, before.size());
    EXPECT_EQ(f.state.currentPath, before.back().path);
    // Refused with 87 three times; refused with 5 once, which no retry changes.
    EXPECT_EQ(c.errors, 2u);
    auto givenUp = f.log->withText("Error defragmenting File. Giving up.");
    ASSERT_EQ(givenUp.size(), 2u);
    EXPECT_EQ(givenUp[0].prop("FileName"), utf8(refused87));
    EXPECT_EQ(givenUp[0].prop("Error"), "87");
    EXPECT_EQ(givenUp[1].prop("FileName"), utf8(refused5));
    EXPECT_EQ(givenUp[1].prop("Error"), "5");
    auto failed = f.log->withText("Error during processFile.");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].prop("FileName"), utf8(broken));
    EXPECT_EQ(failed[0].prop("Error"), "1117");

    uint64_t fits = 0, pure = 0;
    std::vector<WString> retry;
    for (const TreeEntry& e : before) {
        auto it = fragmented.find(e.path);
        if (it == fragmented.end()) continue;
        const Fate& fate = it->second;
        ASSERT_TRUE(fate.seen);
        const bool refused = e.path == refused87 || e.path == refused5;
        EXPECT_EQ(piecesOf(memory, e.path) == 1, fate.fits && !refused) << utf8(e.path);
        fits += fate.fits && !refused;
        if (fate.fits) continue;
        if (fate.pureSpace) ++pure;
        else retry.push_back(e.path);
    }
    for (const WString& path : {locked, denied, broken}) EXPECT_GT(piecesOf(memory, path), 1u);
    CMemoryVolume::FileInfo info;
    EXPECT_FALSE(memory.fileInfo(vanishing, info));
    EXPECT_EQ(c.defragged, fits);
    EXPECT_EQ(c.nonDefraggable, fragmented.size() - fits - 2);
    EXPECT_EQ(c.nonDefraggablePureSpace, pure);
    EXPECT_GE(c.nonDefraggablePureSpace, 1u);
    EXPECT_GE(c.nonDefraggable - c.nonDefraggablePureSpace, 1u);
    EXPECT_GT(c.moved, 0u);
    EXPECT_FALSE(f.state.retryOverflow);
    EXPECT_EQ(f.state.retryFiles, retry);

    // No file was broken up by the moves of others.
    for (const TreeEntry& e : listTree(memory)) {
        const bool mayBeInPieces = fragmented.count(e.path) || e.path == locked || e.path == denied || e.path == broken;
        EXPECT_TRUE(e.pieces < 2 || mayBeInPieces) << utf8(e.path);
    }
    EXPECT_EQ(memory.checkIntegrity(), std::vector<std::string>());
}
