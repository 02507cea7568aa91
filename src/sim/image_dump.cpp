#include "sim/image_dump.h"

namespace {

uint8_t fileSystemByte(const WString& name) {
    if (name == u"NTFS") return volume_dump::kFileSystemNtfs;
    if (name == u"FAT") return volume_dump::kFileSystemFat;
    if (name == u"FAT32") return volume_dump::kFileSystemFat32;
    return volume_dump::kFileSystemUnknown;
}

}  // namespace

void writeImageDump(const CMemoryVolume& volume, volume_dump::CVolumeDumpWriter& writer) {
    const CMemoryVolume::Geometry geometry = volume.geometry();
    volume_dump::VolumeDumpHeader header;
    header.driveLetter = volume.driveLetter();
    header.volumeName = geometry.label;
    header.totalClusters = geometry.totalClusters;
    header.bytesPerCluster = geometry.bytesPerCluster;
    header.fileSystemType = fileSystemByte(geometry.fileSystemName);
    writer.writeVolumeHeader(header);
    {
        const std::vector<uint8_t> bitmap = volume.bitmapBytes();
        writer.writeBitmap(bitmap.data(), bitmap.size());
    }

    // Entries are counted before they are written, as the count comes first.
    uint64_t count = 0;
    volume.forEachWalkedEntry([&](const WString&, bool, const std::vector<CMemoryVolume::Run>&) { ++count; });
    writer.writeEntryListHeader(count);
    const WString root = WString(1, header.driveLetter) + u":\\";
    std::vector<volume_dump::VolumeDumpExtent> extents;
    volume.forEachWalkedEntry([&](const WString& path, bool directory, const std::vector<CMemoryVolume::Run>& runs) {
        extents.clear();
        for (const CMemoryVolume::Run& r : runs)
            if (r.lcn != CMemoryVolume::kVirtualLcn) extents.push_back({r.lcn, r.lcn + r.length - 1});
        writer.writeEntry(path.empty() ? root : root + path + (directory ? u"\\" : u""), extents);
    });
}
