// Compressed and sparse files through file processing: move steps that end on unit boundaries,
// extent lists that go on across retrieval buffers, and, over many random volumes changing
// between passes, no fragmented file left without a word.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "engine/file_moves.h"
#include "engine/file_processing.h"
#include "support/engine_files_support.h"

using namespace enginetest;
using Runs = std::vector<CMemoryVolume::Run>;
constexpr uint64_t V = CMemoryVolume::kVirtualLcn;

namespace {

// The log lines that name a file left in pieces.
const char* const kLeftFragmented[] = {
    "No free run is large enough for the file.",
    "Error defragmenting File. Giving up.",
    "Warning: defragmented file ended up having more than one extent.",
    "Couldn't read the extents of the file.",
};

// One pass as the scan pass makes it: a fresh snapshot, the walk, the retry files.
void pass(EngineFixture& f) {
    CPassState& state = f.state();
    state.beginPass();
    state.clearResumeState();
    f.context().makeExtentSnapshot();
    state.scanActive = true;
    walkDirectory(state, f.context(), u"C:", WString(), false, false);
    state.scanActive = false;
    const std::vector<WString> retry = state.retryFiles;
    for (const WString& path : retry) processFile(state, f.context(), path, true, nullptr, false);
}

// A compressed file of 128 units whose 257th retrieval entry (the first of the second buffer)
// is the virtual tail of a unit: the first unit's clusters lie in two runs.
Runs unitsAcrossBuffers(uint64_t first) {
    Runs runs{{first, 3}, {first + 10, 5}, {V, 8}};
    for (uint64_t u = 1; u < 128; ++u) runs.push_back({first + 20 * u, 6}), runs.push_back({V, 10});
    return runs;
}

}  // namespace

TEST(CompressedFiles, AUnitSplitAcrossTwoRunsMovesInWholeUnits) {
    auto v = voltest::makeVolume(1000);
    voltest::placeFile(*v, u"C:\\two.bin", {{100, 28}, {300, 4}}, FILE_ATTRIBUTE_COMPRESSED);
    EngineOptions options;
    options.maxClusterMoveCount = 16;
    EngineFixture f(v, options);
    pass(f);
    std::vector<std::pair<LONGLONG, DWORD>> steps;
    for (const auto& m : f.volume().moves) steps.emplace_back(m.StartingVcn.QuadPart, m.ClusterCount);
    EXPECT_EQ(steps, (std::vector<std::pair<LONGLONG, DWORD>>{{0, 16}, {16, 16}}));
    EXPECT_EQ(piecesOf(*v, u"C:\\two.bin"), 1u);
    EXPECT_EQ(f.state().counters.defragged, 1u);
    EXPECT_EQ(f.state().counters.errors, 0u);
    EXPECT_TRUE(v->checkIntegrity().empty());
}

TEST(CompressedFiles, AVirtualRunOpeningALaterBufferContinuesTheList) {
    auto v = voltest::makeVolume(8000);
    voltest::placeFile(*v, u"C:\\units.bin", unitsAcrossBuffers(100), FILE_ATTRIBUTE_COMPRESSED);
    EngineFixture f(v);
    {
        CDfrgFile file(f.context(), u"C:\\units.bin", false);
        CFileExtentList extents;
        ASSERT_TRUE(file.getFileExtents(extents));
        EXPECT_EQ(totalVirtualClusters(extents), 128u * 16);
        EXPECT_EQ(totalLogicalClusters(extents), 8u + 127 * 6);
    }
    pass(f);
    EXPECT_EQ(piecesOf(*v, u"C:\\units.bin"), 1u);
    EXPECT_EQ(f.state().counters.defragged, 1u);
    EXPECT_TRUE(v->checkIntegrity().empty());
}

TEST(CompressedFiles, EveryFileEndsContiguousOrNamedOverRandomVolumes) {
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto random = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
        auto v = voltest::makeVolume(6000);
        auto name = [](const char* prefix, uint64_t n) { return platform::utf8ToUtf16(prefix + std::to_string(n)); };
        // The shape's real runs go to random free places (held by placeholders until the file
        // is placed); its virtual runs stay.
        std::vector<WString> held;
        auto place = [&](const WString& path, DWORD attributes, const Runs& shape) {
            Runs runs;
            for (const auto& r : shape) {
                if (r.lcn == V) {
                    runs.push_back(r);
                    continue;
                }
                Runs fits;
                for (const auto& free : freeRuns(*v))
                    if (free.length >= r.length) fits.push_back(free);
                if (fits.empty()) break;
                const auto& free = fits[random(0, fits.size() - 1)];
                runs.push_back({free.lcn + random(0, free.length - r.length), r.length});
                held.push_back(name("C:\\held", held.size()));
                voltest::fillClusters(*v, held.back(), runs.back().lcn, r.length);
            }
            for (const WString& h : held) v->deleteFile(h);
            held.clear();
            v->placeFile(path, attributes, 0, runs);
        };
        uint64_t made = 0;
        auto addFile = [&] {
            const uint64_t kind = random(0, 2);
            Runs shape;
            if (kind == 0) {
                for (uint64_t i = 0, n = random(1, 5); i < n; ++i) shape.push_back({0, random(1, 40)});
            } else {
                // Units of 16: allocated in one or two runs with a virtual tail, or (sparse) a
                // whole hole; now and then a hole first, which no extent list can begin with.
                for (uint64_t u = 0, units = random(2, 8); u < units; ++u) {
                    if (kind == 2 && random(0, 3) == 0 && (u > 0 || random(0, 4) == 0)) {
                        shape.push_back({V, 16});
                        continue;
                    }
                    const uint64_t used = kind == 2 ? 16 : random(2, 16);
                    const uint64_t first = random(1, used);
                    shape.push_back({0, first});
                    if (first < used) shape.push_back({0, used - first});
                    if (used < 16) shape.push_back({V, 16 - used});
                }
            }
            place(name("C:\\f", made++), kind == 0 ? 0 : kind == 1 ? FILE_ATTRIBUTE_COMPRESSED : FILE_ATTRIBUTE_SPARSE_FILE,
                  shape);
        };
        for (int i = 0; i < 25; ++i) addFile();
        if (seed % 3 == 0) place(u"C:\\units.bin", FILE_ATTRIBUTE_COMPRESSED, unitsAcrossBuffers(0));

        EngineFixture f(v);
        std::vector<size_t> before(std::size(kLeftFragmented));
        for (int round = 0; round < 4; ++round) {
            // The user creates, grows and deletes files between passes; the last pass sees the
            // volume as it is left.
            for (int i = 0; round < 3 && i < 5; ++i) {
                addFile();
                const WString path = name("C:\\f", random(0, made - 1));
                if (random(0, 1)) {
                    v->deleteFile(path);
                    continue;
                }
                HANDLE h = v->createFile(path, GENERIC_WRITE, 7, OPEN_EXISTING, 0);
                if (h == INVALID_HANDLE_VALUE) continue;
                v->appendToFile(h, random(1, 60) * 4096);
                v->closeHandle(h);
            }
            if (round == 3)
                for (size_t t = 0; t < before.size(); ++t) before[t] = f.logged(kLeftFragmented[t]).size();
            pass(f);
        }
        std::set<std::string> named;
        for (size_t t = 0; t < before.size(); ++t) {
            const auto entries = f.logged(kLeftFragmented[t]);
            for (size_t i = before[t]; i < entries.size(); ++i) named.insert(EngineFixture::property(entries[i], "FileName"));
        }
        for (const TreeEntry& e : listTree(*v)) {
            if (!e.directory && e.pieces > 1) {
                EXPECT_TRUE(named.count(platform::utf16ToUtf8(e.path))) << platform::utf16ToUtf8(e.path);
            }
        }
        EXPECT_TRUE(v->checkIntegrity().empty());
    }
}
