// The service's progress as the registry shows it: the statistics ("statistics" key) and the
// stored mode of each volume. Read by the status tool and the demo.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace statusview {

struct ServiceProgress {
    bool known = false;
    uint64_t processed = 0, defragged = 0, moved = 0;  // this pass
    uint64_t totalProcessed = 0, totalDefragged = 0, totalMoved = 0;
    int32_t status = 0;  // 1 paused, 3 working, 4 every volume in react mode
    std::string lastFile;
    std::vector<std::pair<char, int32_t>> modes;  // per volume: 0 scan, 1 react, -1 none stored
    std::vector<std::pair<char, uint32_t>> skipped;  // volumes the worker leaves alone, with the reason
};

// Reads the statistics and the modes of the given volumes (drive letters).
ServiceProgress readProgress(const std::string& volumes);
std::string statusName(int32_t status);
std::string skipReasonName(uint32_t reason);

}  // namespace statusview
