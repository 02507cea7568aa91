// Nearly full disks (free space only in holes smaller than the fragmented files) and a run of the
// volume mode state machine over one until react mode. No test framework: the benchmarks use it.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "sim/memory_volume.h"

class CDfrgConfig;

namespace fulldisk {

struct Parameters {
    uint64_t clusters = 262144;
    double fullness = 0.98;
    uint64_t fileClusters = 16;         // every small file
    uint64_t maxHole = 48;              // holes of 1 to this many clusters, never two side by side
    uint64_t fragmentedFiles = 1;
    uint64_t fragmentedClusters = 1076; // each, in pieces of 8 to 64 clusters between the others
    uint32_t seed = 1;
};

// Folders of at most 16 entries (so that none needs index clusters), files named by number; the
// fragmented files are "C:\frag<i>".
std::shared_ptr<CMemoryVolume> makeNearlyFullDisk(const Parameters& p);

struct RunResult {
    bool reachedReact = false;
    int passes = 0;
    std::vector<uint64_t> clustersPerPass;
    uint64_t clustersMoved = 0;
    uint32_t mostMovesInAPass = 0;  // of one file
    uint32_t mostMovesInTheRun = 0; // of one file
    uint64_t fragmentedBefore = 0, fragmentedAfter = 0;
    uint64_t largestFreeBefore = 0, largestFreeAfter = 0;
    uint64_t freeRunsBefore = 0, freeRunsAfter = 0;
    uint64_t fragmentedClustersBefore = 0;  // clusters of the files in pieces at the start
};

// Runs the state machine (settings, registry and state directory as the caller set them up) on
// the volume as drive C until it switches to react mode or maxPasses scan passes are done.
RunResult runUntilReact(std::shared_ptr<CMemoryVolume> volume, CDfrgConfig& config, int maxPasses);

}  // namespace fulldisk
