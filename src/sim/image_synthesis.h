// Synthesised memory volumes that look like an aged desktop disk: a directory tree, file sizes
// drawn from the shapes that file-system surveys report (many small files, a long tail of large
// ones), then a churn of creates, deletes and appends through the volume's allocator, which
// leaves fragmented files and scattered free space behind. The same parameters and seed give the
// same volume.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "sim/memory_volume.h"

struct CImageParameters {
    uint64_t volumeBytes = 8ull << 30;
    uint32_t bytesPerCluster = 4096;
    uint32_t fileCount = 10000;
    uint64_t seed = 1;
    double fullness = 0.6;        // share of the clusters in use at the end
    uint32_t directoryDepth = 8;  // deepest level below the root
    uint32_t directoryWidth = 12; // mean entries per directory
    double churn = 2.0;           // aging operations per file
    WString label = u"Simulated";
    bool solidState = false;      // the disk reports no seek penalty
};

// Null with a reason when the parameters cannot make a volume.
std::shared_ptr<CMemoryVolume> synthesizeVolume(const CImageParameters& parameters, std::string& error);
