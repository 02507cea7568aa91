#include "report/cluster_map.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "report/dump_figures.h"

namespace report {

using volume_dump::VolumeDumpEntry;
using volume_dump::VolumeDumpExtent;
using volume_dump::VolumeDumpVolume;

Rgb kindColour(ClusterKind kind) {
    switch (kind) {
    case ClusterKind::Free: return {255, 255, 255};
    case ClusterKind::Contiguous: return {66, 133, 244};
    case ClusterKind::Directory: return {46, 160, 67};
    case ClusterKind::System: return {120, 120, 120};
    case ClusterKind::Moved: return {245, 166, 35};
    case ClusterKind::Fragmented: return {220, 50, 47};
    case ClusterKind::NoBit: return {186, 104, 200};
    }
    return outsideColour();
}

Rgb outsideColour() { return {32, 32, 32}; }

const char* kindName(ClusterKind kind) {
    switch (kind) {
    case ClusterKind::Free: return "free";
    case ClusterKind::Contiguous: return "contiguous file";
    case ClusterKind::Directory: return "directory";
    case ClusterKind::System: return "used, no entry (system)";
    case ClusterKind::Moved: return "moved file";
    case ClusterKind::Fragmented: return "fragmented file";
    case ClusterKind::NoBit: return "no bitmap bit in the dump, no entry (unknown)";
    }
    return "?";
}

std::string htmlColour(Rgb c) {
    const char* hex = "0123456789abcdef";
    std::string s = "#";
    for (uint8_t v : {c.r, c.g, c.b}) {
        s += hex[v >> 4];
        s += hex[v & 15];
    }
    return s;
}

namespace {

bool sameExtents(const VolumeDumpVolume& a, const VolumeDumpEntry& ea, const VolumeDumpVolume& b, const VolumeDumpEntry& eb) {
    if (ea.extentCount != eb.extentCount) return false;
    return std::equal(a.extentsOf(ea), a.extentsOf(ea) + ea.extentCount, b.extentsOf(eb));
}

// Marks cell ranges per kind in difference arrays, so that any number of overlapping extents
// costs one step each plus one pass over the cells.
class CellMarks {
public:
    CellMarks(uint64_t cells, uint64_t clustersPerCell) : perCell_(clustersPerCell) {
        for (auto& d : diff_) d.assign(static_cast<size_t>(cells) + 1, 0);
    }
    void mark(ClusterKind kind, uint64_t first, uint64_t last) {
        auto& d = diff_[static_cast<int>(kind)];
        ++d[static_cast<size_t>(first / perCell_)];
        --d[static_cast<size_t>(last / perCell_) + 1];
    }
    std::vector<ClusterKind> resolve() const {
        size_t n = diff_[0].size() - 1;
        std::vector<ClusterKind> cells(n, ClusterKind::Free);
        for (int k = 1; k < kClusterKindCount; ++k) {
            int64_t depth = 0;
            for (size_t i = 0; i < n; ++i) {
                depth += diff_[k][i];
                if (depth > 0) cells[i] = static_cast<ClusterKind>(k);
            }
        }
        return cells;
    }

private:
    uint64_t perCell_;
    std::array<std::vector<int64_t>, kClusterKindCount> diff_;
};

}  // namespace

std::vector<bool> movedEntries(const VolumeDumpVolume& volume, const VolumeDumpVolume& other) {
    std::unordered_map<WString, const VolumeDumpEntry*> byPath;
    for (const VolumeDumpEntry& e : other.entries) byPath.emplace(e.path, &e);
    std::vector<bool> moved(volume.entries.size(), false);
    for (size_t i = 0; i < volume.entries.size(); ++i) {
        const VolumeDumpEntry& e = volume.entries[i];
        if (volume_dump::isDirectoryPath(e.path) || e.extentCount == 0) continue;
        auto it = byPath.find(e.path);
        if (it == byPath.end() || it->second->extentCount == 0) continue;
        moved[i] = !sameExtents(volume, e, other, *it->second);
    }
    return moved;
}

ClusterMap buildClusterMap(const VolumeDumpVolume& volume, const MapLayout& layout, const std::vector<bool>& moved) {
    ClusterMap map;
    const uint64_t total = volume.header.totalClusters;
    map.columns = std::max<uint32_t>(1, layout.width / std::max<uint32_t>(1, layout.cellPixels));
    const uint64_t capacity = static_cast<uint64_t>(map.columns) * std::max<uint32_t>(1, layout.maxRows);
    map.clustersPerCell = std::max<uint64_t>(1, total / capacity + (total % capacity ? 1 : 0));
    map.usedCells = total / map.clustersPerCell + (total % map.clustersPerCell ? 1 : 0);
    map.rows = static_cast<uint32_t>(std::max<uint64_t>(1, (map.usedCells + map.columns - 1) / map.columns));

    CellMarks marks(map.usedCells, map.clustersPerCell);
    // Every claimed range, to find the used clusters that no entry claims.
    std::vector<VolumeDumpExtent> claimed;
    claimed.reserve(volume.extents.size());
    for (size_t i = 0; i < volume.entries.size(); ++i) {
        const VolumeDumpEntry& e = volume.entries[i];
        const VolumeDumpExtent* x = volume.extentsOf(e);
        ClusterKind kind = ClusterKind::Contiguous;
        if (volume_dump::isDirectoryPath(e.path))
            kind = ClusterKind::Directory;
        else if (fragmentCount(x, e.extentCount) > 1)
            kind = ClusterKind::Fragmented;
        else if (i < moved.size() && moved[i])
            kind = ClusterKind::Moved;
        for (size_t k = 0; k < e.extentCount; ++k) {
            // Extents of a dump that was read lie inside the volume; built ones are clipped.
            if (x[k].start >= total || x[k].start > x[k].end) continue;
            VolumeDumpExtent r{x[k].start, std::min(x[k].end, total - 1)};
            marks.mark(kind, r.start, r.end);
            claimed.push_back(r);
        }
    }
    std::sort(claimed.begin(), claimed.end(),
              [](const VolumeDumpExtent& a, const VolumeDumpExtent& b) { return a.start < b.start; });
    // Merge into disjoint ranges.
    std::vector<VolumeDumpExtent> covered;
    for (const VolumeDumpExtent& r : claimed) {
        if (!covered.empty() && r.start <= covered.back().end + 1)
            covered.back().end = std::max(covered.back().end, r.end);
        else
            covered.push_back(r);
    }
    size_t next = 0;
    // Marks the clusters of [first, last] that no entry claims; ranges come in ascending order.
    auto markUnclaimed = [&](ClusterKind kind, uint64_t first, uint64_t last) {
        while (next < covered.size() && covered[next].end < first) ++next;
        uint64_t at = first;
        for (size_t c = next; c < covered.size() && covered[c].start <= last && at <= last; ++c) {
            if (covered[c].start > at) marks.mark(kind, at, covered[c].start - 1);
            at = std::max(at, covered[c].end == UINT64_MAX ? UINT64_MAX : covered[c].end + 1);
        }
        if (at <= last) marks.mark(kind, at, last);
    };
    forEachBitmapRun(volume, [&](uint64_t first, uint64_t length, bool used) {
        if (used) markUnclaimed(ClusterKind::System, first, first + length - 1);
    });
    const uint64_t noBit = firstClusterWithoutBit(volume);
    if (noBit < total) markUnclaimed(ClusterKind::NoBit, noBit, total - 1);
    map.cells = marks.resolve();
    return map;
}

RgbImage renderClusterMap(const ClusterMap& map, const MapLayout& layout) {
    RgbImage img;
    const uint32_t cell = std::max<uint32_t>(1, layout.cellPixels);
    img.width = std::max(layout.width, map.columns * cell);
    img.height = map.rows * cell;
    img.pixels.resize(static_cast<size_t>(img.width) * img.height * 3);
    const Rgb outside = outsideColour();
    for (size_t i = 0; i < img.pixels.size(); i += 3) {
        img.pixels[i] = outside.r;
        img.pixels[i + 1] = outside.g;
        img.pixels[i + 2] = outside.b;
    }
    for (size_t i = 0; i < map.cells.size(); ++i) {
        const Rgb c = kindColour(map.cells[i]);
        const uint32_t x0 = static_cast<uint32_t>(i % map.columns) * cell;
        const uint32_t y0 = static_cast<uint32_t>(i / map.columns) * cell;
        for (uint32_t y = y0; y < y0 + cell; ++y) {
            uint8_t* p = &img.pixels[(static_cast<size_t>(y) * img.width + x0) * 3];
            for (uint32_t x = 0; x < cell; ++x, p += 3) {
                p[0] = c.r;
                p[1] = c.g;
                p[2] = c.b;
            }
        }
    }
    return img;
}

}  // namespace report
