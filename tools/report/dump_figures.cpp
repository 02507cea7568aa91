#include "report/dump_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace report {

using volume_dump::VolumeDumpEntry;
using volume_dump::VolumeDumpExtent;
using volume_dump::VolumeDumpVolume;

double VolumeFigures::fragmentsPerFile() const {
    return filesWithData ? static_cast<double>(fragments) / static_cast<double>(filesWithData) : 0.0;
}

double VolumeFigures::fragmentationPercent() const {
    return filesWithData ? 100.0 * static_cast<double>(fragmentedFiles) / static_cast<double>(filesWithData) : 0.0;
}

uint64_t fragmentCount(const VolumeDumpExtent* extents, size_t count) {
    uint64_t n = 0;
    for (size_t i = 0; i < count; ++i)
        if (i == 0 || extents[i - 1].end == UINT64_MAX || extents[i].start != extents[i - 1].end + 1) ++n;
    return n;
}

void forEachBitmapRun(const VolumeDumpVolume& volume,
                      const std::function<void(uint64_t, uint64_t, bool)>& visit) {
    const std::vector<uint8_t>& bits = volume.bitmap;
    uint64_t runStart = 0;
    bool runUsed = false;
    uint64_t lcn = 0;
    auto extend = [&](bool used, uint64_t length) {
        if (lcn > runStart && used != runUsed) {
            visit(runStart, lcn - runStart, runUsed);
            runStart = lcn;
        }
        runUsed = used;
        lcn += length;
    };
    // A bitmap built in memory may be rounded up; bits past the volume mean nothing.
    const size_t whole = static_cast<size_t>(std::min<uint64_t>(bits.size(), volume.header.totalClusters / 8));
    for (size_t i = 0; i < whole; ++i) {
        const uint8_t byte = bits[i];
        if (byte == 0x00 || byte == 0xFF) {
            extend(byte == 0xFF, 8);
        } else {
            for (int b = 0; b < 8; ++b) extend((byte >> b) & 1, 1);
        }
    }
    if (lcn > runStart) visit(runStart, lcn - runStart, runUsed);
}

uint64_t firstClusterWithoutBit(const VolumeDumpVolume& volume) {
    return std::min<uint64_t>(volume.bitmap.size(), volume.header.totalClusters / 8) * 8;
}

VolumeFigures computeFigures(const VolumeDumpVolume& volume) {
    VolumeFigures f;
    f.totalClusters = volume.header.totalClusters;
    f.bytesPerCluster = volume.header.bytesPerCluster;
    for (const VolumeDumpEntry& e : volume.entries) {
        if (volume_dump::isDirectoryPath(e.path)) {
            ++f.directories;
            continue;
        }
        ++f.files;
        uint64_t n = fragmentCount(volume.extentsOf(e), e.extentCount);
        if (n == 0) continue;
        ++f.filesWithData;
        f.fragments += n;
        if (n > 1) ++f.fragmentedFiles;
    }
    const uint64_t noBit = firstClusterWithoutBit(volume);
    f.clustersWithoutBit = f.totalClusters - noBit;
    // A move out of these clusters frees one that the dump cannot show: free space and the
    // unclaimed ones here shift together, their sum stays.
    std::vector<bool> claimed(static_cast<size_t>(f.clustersWithoutBit), false);
    for (const VolumeDumpExtent& x : volume.extents)
        for (uint64_t c = std::max(x.start, noBit); c <= x.end && c < f.totalClusters; ++c) claimed[c - noBit] = true;
    f.unclaimedWithoutBit = static_cast<uint64_t>(std::count(claimed.begin(), claimed.end(), false));
    forEachBitmapRun(volume, [&](uint64_t, uint64_t length, bool used) {
        if (used) return;
        f.freeClusters += length;
        ++f.freeRuns;
        f.largestFreeRun = std::max(f.largestFreeRun, length);
    });
    return f;
}

const char* const kFigureNotes =
    "Fragmentation is the share of fragmented files among the files with data. A fragment is a run of "
    "clusters that does not continue where the file's previous run ended; a file in more than one fragment "
    "is fragmented. Directories (entries whose path ends with a backslash) are counted apart and not in the "
    "file figures, and so is the root. Files that are reparse points are not in a dump: the service "
    "leaves them alone. The last clusters of a volume whose count is not a multiple of 8 have no bitmap bit "
    "in a dump; they are counted neither as free nor as used, but apart. A file moved out of them shows as "
    "less free space and as more of them claimed by no entry.";

std::vector<FigureRow> figureRows(const VolumeFigures& f) {
    auto n = [](uint64_t v) { return static_cast<double>(v); };
    const uint64_t bpc = std::max<uint64_t>(f.bytesPerCluster, 1);
    return {
        {"files", n(f.files), 0, "", 0},
        {"directories", n(f.directories), 0, "", 0},
        {"files with data", n(f.filesWithData), 0, "", 0},
        {"fragmented files", n(f.fragmentedFiles), 0, "", 0},
        {"fragments per file", f.fragmentsPerFile(), 2, "", 0},
        {"fragmentation", f.fragmentationPercent(), 1, "%", 0},
        {"free space", n(f.freeClusters), 0, "", bpc},
        {"free runs", n(f.freeRuns), 0, "", 0},
        {"largest free run", n(f.largestFreeRun), 0, "", bpc},
        {"clusters without a bitmap bit", n(f.clustersWithoutBit), 0, "", 0},
        {"of them claimed by no entry (unknown)", n(f.unclaimedWithoutBit), 0, "", 0},
    };
}

namespace {
std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}
}  // namespace

std::string formatBytes(double bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (std::fabs(bytes) < 1024) return fixed(bytes, 0) + " bytes";
    int u = -1;
    while (std::fabs(bytes) >= 1024 && u < 5) {
        bytes /= 1024;
        ++u;
    }
    return fixed(bytes, 1) + " " + units[u];
}

std::string formatValue(const FigureRow& row) {
    std::string s = fixed(row.value, row.decimals);
    if (!row.unit.empty()) s += " " + row.unit;
    if (row.bytesPerCluster)
        s += " clusters (" + formatBytes(row.value * static_cast<double>(row.bytesPerCluster)) + ")";
    return s;
}

std::string formatChange(const FigureRow& before, const FigureRow& after) {
    FigureRow d = after;
    d.value = after.value - before.value;
    std::string s = formatValue(d);
    // "-0.00" and the like read as a change; a change too small to show is none.
    if (s.find_first_of("123456789") == std::string::npos) return "0";
    return (d.value > 0 ? "+" : "") + s;
}

}  // namespace report
