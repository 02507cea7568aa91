// Compressed and sparse files over many random volumes changing between passes: every file
// ends contiguous or is named in the log (units split across runs, lists that go on across
// retrieval buffers, holes first).
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "engine/file_processing.h"
#include "support/engine_state_support.h"

using namespace enginetest;
using voltest::V;

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
    CPassState& state = f.state;
    state.beginPass();
    state.clearResumeState();
    f.context().makeExtentSnapshot();
    state.scanActive = true;
    walkDirectory(state, f.context(), u"C:", WString(), false, false);
    state.scanActive = false;
    const std::vector<WString> retry = state.retryFiles;
    for (const WString& path : retry) processFile(state, f.context(), path, true, nullptr, false);
}

// A compressed file of 128 units whose 257th retrieval entry (the first of the second buffer) is
// the virtual tail of a unit: the first unit's clusters lie in two runs.
Runs unitsAcrossBuffers(uint64_t first) {
    Runs runs{{first, 3}, {first + 10, 5}, {V, 8}};
    for (uint64_t u = 1; u < 128; ++u) runs.insert(runs.end(), {{first + 20 * u, 6}, {V, 10}});
    return runs;
}

}  // namespace

TEST(CompressedFiles, EveryFileEndsContiguousOrNamedOverRandomVolumes) {
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto random = [&](uint64_t lo, uint64_t hi) { return std::uniform_int_distribution<uint64_t>(lo, hi)(rng); };
        auto v = voltest::makeVolume(6000);
        auto name = [](const char* prefix, uint64_t n) { return platform::utf8ToUtf16(prefix + std::to_string(n)); };
        // The shape's real runs go to random free places (held by placeholders until the file is
        // placed); its virtual runs stay.
        auto place = [&](const WString& path, DWORD attributes, const Runs& shape) {
            Runs runs;
            std::vector<WString> held;
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
            v->placeFile(path, attributes, 0, runs);
        };
        uint64_t made = 0;
        auto addFile = [&] {
            const uint64_t kind = random(0, 2);
            Runs shape;
            if (kind == 0) {
                for (uint64_t i = 0, n = random(1, 5); i < n; ++i) shape.push_back({0, random(1, 40)});
            } else {
                // Units of 16: allocated in one or two runs with a virtual tail, or (sparse) a whole
                // hole; now and then a hole first, which no extent list can begin with.
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
            const DWORD attributes[] = {0, FILE_ATTRIBUTE_COMPRESSED, FILE_ATTRIBUTE_SPARSE_FILE};
            place(name("C:\\f", made++), attributes[kind], shape);
        };
        for (int i = 0; i < 25; ++i) addFile();
        if (seed % 3 == 0) place(u"C:\\units.bin", FILE_ATTRIBUTE_COMPRESSED, unitsAcrossBuffers(0));

        EngineFixture f(v);
        for (int round = 0; round < 3; ++round) {
            pass(f);
            // The user creates, grows and deletes files between passes.
            for (int i = 0; i < 5; ++i) {
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
        }
        // The last pass sees the volume as it is left.
        f.log->clear();
        pass(f);
        std::set<std::string> named;
        for (const char* text : kLeftFragmented)
            for (const auto& entry : f.log->withText(text)) named.insert(entry.prop("FileName"));
        for (const TreeEntry& e : listTree(*v)) {
            const std::string path = platform::utf16ToUtf8(e.path);
            EXPECT_TRUE(e.directory || e.pieces < 2 || named.count(path)) << path;
        }
        EXPECT_TRUE(v->checkIntegrity().empty());
    }
}
