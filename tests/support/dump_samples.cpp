#include "support/dump_samples.h"

#include <sstream>

using volume_dump::VolumeDumpVolume;

DumpBytes& DumpBytes::tag(const char* four) {
    bytes_.append(four, 4);
    return *this;
}
DumpBytes& DumpBytes::u8(uint8_t v) {
    bytes_.push_back(static_cast<char>(v));
    return *this;
}
DumpBytes& DumpBytes::u16(uint16_t v) { return u8(static_cast<uint8_t>(v)).u8(static_cast<uint8_t>(v >> 8)); }
DumpBytes& DumpBytes::u32(uint32_t v) { return u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16)); }
DumpBytes& DumpBytes::u64(uint64_t v) { return u32(static_cast<uint32_t>(v)).u32(static_cast<uint32_t>(v >> 32)); }
DumpBytes& DumpBytes::units(const WString& text) {
    u32(static_cast<uint32_t>(text.size()));
    for (char16_t c : text) u16(c);
    return *this;
}
DumpBytes& DumpBytes::raw(const std::string& bytes) {
    bytes_ += bytes;
    return *this;
}

void setUsed(VolumeDumpVolume& v, uint64_t first, uint64_t last) {
    for (uint64_t c = first; c <= last; ++c) v.bitmap[static_cast<size_t>(c / 8)] |= static_cast<uint8_t>(1u << (c % 8));
}

VolumeDumpVolume emptyVolume(char16_t letter, uint64_t totalClusters, const WString& name) {
    VolumeDumpVolume v;
    v.header.driveLetter = letter;
    v.header.volumeName = name;
    v.header.totalClusters = totalClusters;
    v.header.bytesPerCluster = 4096;
    v.header.fileSystemType = volume_dump::kFileSystemNtfs;
    v.bitmap.assign(static_cast<size_t>(totalClusters / 8), 0);
    return v;
}

VolumeDumpVolume sampleVolume() {
    VolumeDumpVolume v = emptyVolume(u'C', 43, u"System");
    for (const auto& r : std::vector<std::pair<uint64_t, uint64_t>>{{0, 9}, {12, 13}, {20, 25}, {30, 34}, {36, 39}})
        setUsed(v, r.first, r.second);
    v.addEntry(u"C:\\", {});
    v.addEntry(u"C:\\contig.bin", {{4, 7}});
    v.addEntry(u"C:\\dir\\", {{8, 9}});
    v.addEntry(u"C:\\frag.bin", {{12, 13}, {20, 21}});
    v.addEntry(u"C:\\adjacent.bin", {{22, 23}, {24, 25}});
    v.addEntry(u"C:\\dir\\moved.bin", {{30, 31}});
    v.addEntry(u"C:\\stale.bin", {{35, 35}});
    v.addEntry(u"C:\\tail.bin", {{41, 41}});
    v.addEntry(u"C:\\empty.txt", {});
    return v;
}

std::string dumpToString(const std::vector<VolumeDumpVolume>& volumes) {
    std::ostringstream out(std::ios::binary);
    volume_dump::CVolumeDumpWriter writer(out);
    for (const VolumeDumpVolume& v : volumes) writer.writeVolume(v);
    return out.str();
}

std::vector<VolumeDumpVolume> dumpFromString(const std::string& bytes) {
    std::istringstream in(bytes, std::ios::binary);
    return volume_dump::readVolumeDump(in);
}
