// A walk over an aged volume on which the file system refuses moves and files are locked,
// denied, broken or vanish under the walk: the walk goes on, only the faults the rules name are
// logged and counted, and the volume stays sound.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "engine/file_processing.h"
#include "support/engine_files_support.h"
#include "sim/image_synthesis.h"

using namespace enginetest;

TEST(WalkWithFaults, GoesOnAndCountsOnlyWhatTheRulesCount) {
    CImageParameters p;
    p.volumeBytes = 256ull << 20;
    p.fileCount = 2000;
    p.fullness = 0.8;
    p.churn = 1.0;
    p.seed = 3;
    std::string error;
    std::shared_ptr<CMemoryVolume> volume = synthesizeVolume(p, error);
    ASSERT_TRUE(volume) << error;
    const std::vector<TreeEntry> before = listTree(*volume);
    std::vector<WString> fragmented;
    std::map<WString, uint64_t> clusters;
    for (const TreeEntry& e : before) {
        if (e.pieces < 2) continue;
        if (!e.directory) fragmented.push_back(e.path);
        clusters[e.path] = e.clusters;
    }
    ASSERT_GE(fragmented.size(), 20u);

    // Locked, denied and broken files, and one that is deleted when the walk reaches it.
    const WString locked = fragmented[1], denied = fragmented[3], broken = fragmented[5], vanishing = fragmented[7];
    volume->setOpenFault(locked, ERROR_SHARING_VIOLATION);
    volume->setOpenFault(denied, ERROR_ACCESS_DENIED);
    volume->setOpenFault(broken, 1117);
    const std::set<WString> faulty = {locked, denied, broken, vanishing};

    EngineFixture f(volume);
    CMemoryVolume& memory = f.memory();
    // The first file with two runs that hold it has all its moves refused with 87; the next with
    // one such run has its first move refused with 5.
    WString refused87, refused5;
    std::map<WString, bool> fits;
    setStatusHook([&](const DfrgStatus& s) {
        if (s.detail != 3) return;
        if (s.lastFile == vanishing) memory.deleteFile(vanishing);
        if (!clusters.count(s.lastFile) || faulty.count(s.lastFile)) return;
        uint64_t holding = 0;
        for (const CMemoryVolume::Run& r : freeRuns(memory)) holding += r.length >= clusters[s.lastFile];
        fits[s.lastFile] = holding > 0;
        if (refused87.empty() && holding >= 2) {
            refused87 = s.lastFile;
            memory.refuseMoves(ERROR_INVALID_PARAMETER, 3);
        } else if (!refused87.empty() && refused5.empty() && holding >= 1) {
            refused5 = s.lastFile;
            memory.refuseMoves(ERROR_ACCESS_DENIED, 1);
        }
    });
    walkDirectory(f.state(), f.context(), u"C:", WString(), false, false);
    setStatusHook(nullptr);
    ASSERT_FALSE(refused5.empty());

    const CPassCounters& c = f.state().counters;
    EXPECT_EQ(c.processed, before.size());
    EXPECT_EQ(f.state().currentPath, before.back().path);
    // Refused with 87 three times; refused with 5 once, which no retry changes.
    EXPECT_EQ(c.errors, 2u);
    auto givenUp = f.logged("Error defragmenting File. Giving up.");
    ASSERT_EQ(givenUp.size(), 2u);
    EXPECT_EQ(EngineFixture::property(givenUp[0], "FileName"), platform::utf16ToUtf8(refused87));
    EXPECT_EQ(EngineFixture::property(givenUp[0], "Error"), "87");
    EXPECT_EQ(EngineFixture::property(givenUp[1], "FileName"), platform::utf16ToUtf8(refused5));
    EXPECT_EQ(EngineFixture::property(givenUp[1], "Error"), "5");
    auto failed = f.logged("Error during processFile.");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(EngineFixture::property(failed[0], "FileName"), platform::utf16ToUtf8(broken));
    EXPECT_EQ(EngineFixture::property(failed[0], "Error"), "1117");

    uint64_t defragged = 0, left = 0;
    for (const auto& fit : fits) {
        const uint64_t pieces = piecesOf(memory, fit.first);
        if (fit.second && fit.first != refused87 && fit.first != refused5) {
            ++defragged;
            EXPECT_EQ(pieces, 1u) << platform::utf16ToUtf8(fit.first);
        } else {
            left += !fit.second;
            EXPECT_GT(pieces, 1u) << platform::utf16ToUtf8(fit.first);
        }
    }
    for (const WString& path : {locked, denied, broken}) EXPECT_GT(piecesOf(memory, path), 1u);
    CMemoryVolume::FileInfo info;
    EXPECT_FALSE(memory.fileInfo(vanishing, info));
    EXPECT_GT(piecesOf(memory, refused5), 1u);
    EXPECT_EQ(c.defragged, defragged);
    EXPECT_EQ(c.nonDefraggable, left);
    EXPECT_EQ(memory.checkIntegrity(), std::vector<std::string>());
}
