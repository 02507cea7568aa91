#include "support/full_disk.h"

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>

#include "config/dfrg_config.h"
#include "engine/defrag_smart.h"
#include "engine/volume_mode.h"
#include "sim/simulated_volume.h"
#include "support/fake_clock.h"
#include "volume/dfrg_context.h"

namespace fulldisk {

namespace {

using Run = CMemoryVolume::Run;

WString number(uint64_t n) { return platform::utf8ToUtf16(std::to_string(n)); }

void place(CMemoryVolume& v, const WString& path, DWORD attributes, const std::vector<Run>& runs) {
    uint64_t clusters = 0;
    for (const Run& r : runs) clusters += r.length;
    if (!v.placeFile(path, attributes, clusters * v.geometry().bytesPerCluster, runs))
        throw std::runtime_error("cannot place " + platform::utf16ToUtf8(path));
}

// Splits `total` into random parts of lo to hi clusters (the last one whatever is left, at least 1).
std::vector<uint64_t> split(uint64_t total, uint64_t lo, uint64_t hi, std::mt19937& rng) {
    std::vector<uint64_t> parts;
    std::uniform_int_distribution<uint64_t> size(lo, hi);
    while (total > 0) {
        const uint64_t n = std::min(total, size(rng));
        parts.push_back(n);
        total -= n;
    }
    return parts;
}

// The clusters of the files (not directories) in more than one piece.
uint64_t fragmentedClusters(const CMemoryVolume& memory) {
    uint64_t total = 0;
    memory.forEachWalkedEntry([&](const WString&, bool directory, const std::vector<Run>& runs) {
        uint64_t clusters = 0, pieces = 0, next = CMemoryVolume::kVirtualLcn;
        for (const Run& r : runs) {
            if (r.lcn == CMemoryVolume::kVirtualLcn) continue;
            pieces += r.lcn != next;
            next = r.lcn + r.length;
            clusters += r.length;
        }
        if (!directory && pieces > 1) total += clusters;
    });
    return total;
}

// The volume interface over a memory volume that counts the whole-file moves (those whose first
// step starts at VCN 0) of each file.
class CountingVolume : public CSimulatedVolume {
public:
    using CSimulatedVolume::CSimulatedVolume;
    HANDLE createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                      DWORD disposition, DWORD flags, HANDLE templateFile) override {
        HANDLE h = CSimulatedVolume::createFile(path, access, shareMode, security, disposition, flags, templateFile);
        if (h != INVALID_HANDLE_VALUE) paths_[h] = path;
        return h;
    }
    BOOL closeHandle(HANDLE handle) override {
        paths_.erase(handle);
        return CSimulatedVolume::closeHandle(handle);
    }
    BOOL moveFile(const MOVE_FILE_DATA& move) override {
        const BOOL ok = CSimulatedVolume::moveFile(move);
        if (ok && move.StartingVcn.QuadPart == 0) ++moves[paths_[move.FileHandle]];
        return ok;
    }

    std::map<WString, uint32_t> moves;

private:
    std::map<HANDLE, WString> paths_;
};

}  // namespace

std::shared_ptr<CMemoryVolume> makeNearlyFullDisk(const Parameters& p) {
    CMemoryVolume::Geometry g;
    g.totalClusters = p.clusters;
    g.label = u"Full";
    auto v = std::make_shared<CMemoryVolume>(g, u'C');
    std::mt19937 rng(p.seed);

    const uint64_t freeClusters = static_cast<uint64_t>(static_cast<double>(p.clusters) * (1.0 - p.fullness) + 0.5);
    const uint64_t fragmented = p.fragmentedFiles * p.fragmentedClusters;
    const uint64_t fill = p.clusters - freeClusters - fragmented;
    const uint64_t fillers = fill / p.fileClusters;

    // What lies along the disk, in order: small files and pieces shuffled, holes in distinct
    // gaps between them so that no two holes touch.
    struct Chunk {
        int file;  // -1 small file, -2 hole, else the fragmented file's index
        uint64_t length;
    };
    std::vector<Chunk> solid;
    for (uint64_t i = 0; i < fillers; ++i) solid.push_back({-1, p.fileClusters + (i + 1 == fillers ? fill % p.fileClusters : 0)});
    for (uint64_t f = 0; f < p.fragmentedFiles; ++f)
        for (uint64_t piece : split(p.fragmentedClusters, 8, 64, rng)) solid.push_back({static_cast<int>(f), piece});
    std::shuffle(solid.begin(), solid.end(), rng);
    const std::vector<uint64_t> holes = split(freeClusters, 1, p.maxHole, rng);
    std::vector<size_t> gaps(solid.size() + 1);
    for (size_t i = 0; i < gaps.size(); ++i) gaps[i] = i;
    std::shuffle(gaps.begin(), gaps.end(), rng);
    gaps.resize(std::min(gaps.size(), holes.size()));
    std::sort(gaps.begin(), gaps.end());

    // Folders of at most 15 folders or 16 files, so that none needs index clusters.
    unsigned levels = 1;
    for (uint64_t capacity = 15 * 16; capacity < fillers; capacity *= 16) ++levels;
    std::set<WString> folders;
    auto pathOf = [&](uint64_t i) {
        WString dir = u"C:";
        for (unsigned level = levels; level > 0; --level) {
            uint64_t digit = i;
            for (unsigned k = 0; k < level; ++k) digit /= 16;
            dir += u"\\d" + number(digit % 16);
            if (folders.insert(dir).second) place(*v, dir, FILE_ATTRIBUTE_DIRECTORY, {});
        }
        return dir + u"\\f" + number(i);
    };

    std::vector<std::vector<Run>> pieces(p.fragmentedFiles);
    uint64_t lcn = 0, filler = 0;
    size_t nextGap = 0, nextHole = 0;
    for (size_t i = 0; i <= solid.size(); ++i) {
        if (nextGap < gaps.size() && gaps[nextGap] == i) {
            lcn += holes[nextHole++];
            ++nextGap;
        }
        if (i == solid.size()) break;
        const Chunk& c = solid[i];
        if (c.file < 0) place(*v, pathOf(filler++), 0, {{lcn, c.length}});
        else pieces[static_cast<size_t>(c.file)].push_back({lcn, c.length});
        lcn += c.length;
    }
    place(*v, u"C:\\big", FILE_ATTRIBUTE_DIRECTORY, {});
    for (size_t f = 0; f < pieces.size(); ++f) place(*v, u"C:\\big\\frag" + number(f), 0, pieces[f]);
    return v;
}

RunResult runUntilReact(std::shared_ptr<CMemoryVolume> volume, CDfrgConfig& config, int maxPasses) {
    RunResult r;
    const CMemoryVolume::Statistics before = volume->statistics();
    r.fragmentedBefore = before.fragmentedFiles;
    r.largestFreeBefore = before.largestFreeRun;
    r.freeRunsBefore = before.freeRuns;
    r.fragmentedClustersBefore = fragmentedClusters(*volume);

    auto counting = std::make_unique<CountingVolume>(volume);
    CountingVolume& moves = *counting;
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = config.maxClusterMoveCount();
    settings.maxExtentListSize = config.maxExtentListSize();
    settings.stateDirectory = config.stateDirectory();
    CContextList contexts;
    contexts.push_back(std::make_unique<CDfrgContext>(std::move(counting), 0, settings));
    CDfrgContext& context = *contexts.front();
    writeVolumeMode(u'C', 0);
    FakeClock clock;  // the state machine's waits pass at once
    {
        CPassState state;
        state.config = &config;
        CDefragSmart smart(state, contexts, config, u"X:\\fulldisk");
        smart.begin();
        std::map<WString, uint32_t> total;
        for (;;) {
            if (readVolumeMode(u'C') == 1) {
                r.reachedReact = true;
                break;
            }
            if (r.passes == maxPasses) break;
            moves.moves.clear();
            const uint64_t clusters = context.clustersMoved();
            smart.iteration();
            ++r.passes;
            r.clustersPerPass.push_back(context.clustersMoved() - clusters);
            for (const auto& m : moves.moves) {
                r.mostMovesInAPass = std::max(r.mostMovesInAPass, m.second);
                r.mostMovesInTheRun = std::max(r.mostMovesInTheRun, total[m.first] += m.second);
            }
        }
    }
    r.clustersMoved = context.clustersMoved();
    const CMemoryVolume::Statistics after = volume->statistics();
    r.fragmentedAfter = after.fragmentedFiles;
    r.largestFreeAfter = after.largestFreeRun;
    r.freeRunsAfter = after.freeRuns;
    return r;
}

}  // namespace fulldisk
