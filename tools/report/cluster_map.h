// The cluster map of a volume: a row-major grid of cells, each standing for a fixed number of
// consecutive clusters and coloured by the worst cluster it holds.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "volume/volume_dump_format.h"

namespace report {

// What a cluster holds, from best to worst; a cell shows the worst of its clusters. A cluster
// claimed by several entries takes the worst of them; one that an entry claims counts as used
// whatever the bitmap says.
enum class ClusterKind : uint8_t {
    Free = 0,         // free in the bitmap and claimed by no entry
    Contiguous = 1,   // a file in one fragment
    Directory = 2,    // an entry whose path ends with a separator
    System = 3,       // used in the bitmap but claimed by no entry (file-system metadata, files left out)
    Moved = 4,        // a file whose extents differ between two dumps of the volume
    Fragmented = 5,   // a file in more than one fragment
    NoBit = 6,        // one of the last clusters, which have no bitmap bit, claimed by no entry
};
constexpr int kClusterKindCount = 7;

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};

Rgb kindColour(ClusterKind kind);
// The colour of the cells past the end of the volume.
Rgb outsideColour();
const char* kindName(ClusterKind kind);
// "#rrggbb"
std::string htmlColour(Rgb c);

struct MapLayout {
    uint32_t width = 1024;     // pixels
    uint32_t cellPixels = 4;   // a cell is a square of this many pixels
    uint32_t maxRows = 192;    // the cell size in clusters grows until the map fits
};

struct ClusterMap {
    uint64_t clustersPerCell = 1;
    uint32_t columns = 1;
    uint32_t rows = 1;
    uint64_t usedCells = 0;          // cells that hold clusters of the volume; the rest are outside
    std::vector<ClusterKind> cells;  // usedCells entries, row-major
};

// Per entry of a volume: true for a file that has extents in both volumes and whose extents
// differ, matched by path. Both volumes are dumps of the same drive.
std::vector<bool> movedEntries(const volume_dump::VolumeDumpVolume& volume,
                               const volume_dump::VolumeDumpVolume& other);

// moved: empty, or one flag per entry of the volume (movedEntries).
ClusterMap buildClusterMap(const volume_dump::VolumeDumpVolume& volume, const MapLayout& layout,
                           const std::vector<bool>& moved = {});

struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // rows of width * 3 bytes, top row first
    Rgb at(uint32_t x, uint32_t y) const {
        const uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

// layout.width pixels wide, rows * cellPixels high; pixels right of the last whole column and
// cells past the end of the volume take the outside colour.
RgbImage renderClusterMap(const ClusterMap& map, const MapLayout& layout);

}  // namespace report
