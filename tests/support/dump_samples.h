// A byte builder for hand-made (and damaged) dumps, and a small volume whose every cluster is known.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "volume/volume_dump_format.h"

// Little-endian bytes, built by hand, independent of the writer.
class DumpBytes {
public:
    DumpBytes& tag(const char* four);
    DumpBytes& u8(uint8_t v);
    DumpBytes& u16(uint16_t v);
    DumpBytes& u32(uint32_t v);
    DumpBytes& u64(uint64_t v);
    // Count and units; str adds the terminating 0.
    DumpBytes& units(const WString& text);
    DumpBytes& str(const WString& text) { return units(text).u16(0); }
    DumpBytes& raw(const std::string& bytes);
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Marks clusters first..last (inclusive) used in a volume's bitmap.
void setUsed(volume_dump::VolumeDumpVolume& volume, uint64_t first, uint64_t last);
// A volume of totalClusters with a bitmap of totalClusters / 8 zero bytes.
volume_dump::VolumeDumpVolume emptyVolume(char16_t letter, uint64_t totalClusters, const WString& name = u"Data");

// Drive C:, 43 clusters of 4096 bytes (the last 3 have no bitmap bit). Cluster by cluster:
//   0-3 used, no entry       4-7 C:\contig.bin        8-9 C:\dir\ (directory)
//   10-11 free               12-13 and 20-21 C:\frag.bin (two fragments)
//   14-19 free               22-23 and 24-25 C:\adjacent.bin (two runs, one fragment)
//   26-29 free               30-31 C:\dir\moved.bin   32-34 used, no entry
//   35 C:\stale.bin (the bitmap says free)            36-39 used, no entry
//   40 and 42 past the bitmap, no entry               41 C:\tail.bin
// and C:\ (directory) and C:\empty.txt without extents.
volume_dump::VolumeDumpVolume sampleVolume();

// The volumes as the writer writes them.
std::string dumpToString(const std::vector<volume_dump::VolumeDumpVolume>& volumes);
// Reads a dump from bytes; throws what the reader throws.
std::vector<volume_dump::VolumeDumpVolume> dumpFromString(const std::string& bytes);
