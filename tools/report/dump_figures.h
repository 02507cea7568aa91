// The figures the report gives per volume, computed from one volume section of a dump.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "volume/volume_dump_format.h"

namespace report {

struct VolumeFigures {
    uint64_t totalClusters = 0;
    uint64_t bytesPerCluster = 0;
    uint64_t files = 0;            // entries that are not directories
    uint64_t directories = 0;
    uint64_t filesWithData = 0;    // files with at least one cluster on disk
    uint64_t fragmentedFiles = 0;  // files in more than one fragment
    uint64_t fragments = 0;        // fragments of all files with data
    uint64_t freeClusters = 0;     // zero bits of the bitmap
    uint64_t freeRuns = 0;         // maximal runs of free clusters
    uint64_t largestFreeRun = 0;   // clusters
    uint64_t clustersWithoutBit = 0;    // the last totalClusters % 8: neither free nor used here
    uint64_t unclaimedWithoutBit = 0;   // of those, claimed by no entry: nothing says what they hold

    // Average fragments of the files with data; 0 when there are none.
    double fragmentsPerFile() const;
    // The share of fragmented files among the files with data, in percent; 0 when there are none.
    double fragmentationPercent() const;
};

// The number of fragments of a file: runs that continue exactly where the previous one ended
// are one fragment on disk, however the file system split them.
uint64_t fragmentCount(const volume_dump::VolumeDumpExtent* extents, size_t count);

// Calls visit(first, length, used) for every maximal run of equal bits of the volume, in cluster
// order. The last totalClusters % 8 clusters have no bit in a dump and are not visited: nothing
// says whether they are used or free, and a guess would show changes that did not happen.
void forEachBitmapRun(const volume_dump::VolumeDumpVolume& volume,
                      const std::function<void(uint64_t first, uint64_t length, bool used)>& visit);

// The first cluster that has no bit in the dump (totalClusters when every cluster has one).
uint64_t firstClusterWithoutBit(const volume_dump::VolumeDumpVolume& volume);

VolumeFigures computeFigures(const volume_dump::VolumeDumpVolume& volume);

// One line of the figures as the report shows them.
struct FigureRow {
    std::string label;
    double value = 0;
    int decimals = 0;
    std::string unit;              // after the value ("%"), or empty
    uint64_t bytesPerCluster = 0;  // not 0 for a number of clusters, also shown in bytes
};
std::vector<FigureRow> figureRows(const VolumeFigures& figures);
// The value of a row as text: "12", "1.25", "2.5 %", "1024 clusters (4.0 MiB)".
std::string formatValue(const FigureRow& row);
// The difference after - before of one row, with its sign ("+3", "-0.50 %", "0",
// "-2 clusters (-8.0 KiB)").
std::string formatChange(const FigureRow& before, const FigureRow& after);
// 1536 -> "1.5 KiB"; below 1024 bytes "N bytes".
std::string formatBytes(double bytes);
// How the figures are defined, for the reader of a report.
extern const char* const kFigureNotes;

}  // namespace report
