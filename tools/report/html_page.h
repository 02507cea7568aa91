// The comparison page: one self-contained HTML file (inline CSS, no scripts, no external
// resources) with the figures of each volume before and after, and both cluster maps.
#pragma once
#include <string>
#include <vector>

#include "volume/volume_dump_format.h"
#include "report/dump_figures.h"

namespace report {

struct PageSide {
    const volume_dump::VolumeDumpVolume* volume = nullptr;  // null: the volume is not in this dump
    VolumeFigures figures;
    std::string picture;  // file name of its cluster map, beside the page
    uint32_t pictureWidth = 0;
    uint32_t pictureHeight = 0;
    uint64_t clustersPerCell = 0;
};

struct PageVolume {
    PageSide before;
    PageSide after;
    uint64_t movedFiles = 0;  // when the volume is in both dumps
};

// beforeName and afterName label the two dumps (their file names).
std::string comparisonPage(const std::string& beforeName, const std::string& afterName,
                           const std::vector<PageVolume>& volumes);

// Escapes &, <, >, " and '.
std::string htmlEscape(const std::string& text);
// "C: "label" (NTFS), 1000 clusters of 4096 bytes"
std::string volumeTitle(const volume_dump::VolumeDumpHeader& header);

}  // namespace report
