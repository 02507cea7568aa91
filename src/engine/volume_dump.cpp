#include "engine/volume_dump.h"

#include <memory>
#include <vector>

#include "config/dfrg_config.h"
#include "volume/volume_dump_format.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "platform/dfrg_exception.h"
#include "volume/dfrg_context.h"
#include "volume/dfrg_file.h"

namespace {

struct DumpEntry {
    WString path;  // as written: a directory ends with a backslash
    bool directory;
};

uint8_t fileSystemByte(CDfrgVolume::FileSystemType type) {
    // The low 8 bits of the type: unknown (-1) becomes 255.
    return static_cast<uint8_t>(static_cast<int32_t>(type) & 0xFF);
}

// Depth-first, each directory before its contents, in the order the file system lists them.
void collect(CDfrgContext& context, const WString& dir, bool withDirectories, std::vector<DumpEntry>& out) {
    checkState(context);
    std::vector<CDirEntry> entries;
    listDirectory(context.volume(), dir, entries, true);
    for (const CDirEntry& entry : entries) {
        const WString path = dir + u"\\" + entry.name;
        if (!entry.isDirectory) {
            out.push_back({path, false});
            continue;
        }
        if (withDirectories) out.push_back({path + u"\\", true});
        collect(context, path, withDirectories, out);
    }
}

// The runs of an entry that occupy clusters; none when it cannot be opened or read.
std::vector<volume_dump::VolumeDumpExtent> extentsOf(CDfrgContext& context, const DumpEntry& entry) {
    std::vector<volume_dump::VolumeDumpExtent> runs;
    // The root keeps its backslash ("C:\"); other directories are opened by their name.
    WString openPath = entry.path;
    if (entry.directory && openPath.size() > 3) openPath.pop_back();
    std::unique_ptr<CDfrgFile> file;
    try {
        file = std::make_unique<CDfrgFile>(context, openPath, entry.directory);
    } catch (const CDfrgException&) {
        return runs;  // gone or locked since it was listed
    }
    CFileExtentList extents;
    if (!file->getFileExtents(extents)) return runs;
    for (const CFileExtent& e : extents)
        if (e.lcn.valid()) runs.push_back({e.lcn.start, e.lcn.end});
    return runs;
}

}  // namespace

void writeVolumeDump(CDfrgContext& context, CDfrgConfig& config, std::FILE* out) {
    LogScope scope("writeVolumeDump");
    CDfrgVolume& volume = context.volume();
    volume_dump::CVolumeDumpWriter writer(out);

    volume_dump::VolumeDumpHeader header;
    header.driveLetter = volume.driveLetter();
    header.volumeName = volume.volumeLabel();
    header.totalClusters = volume.totalClusters();
    header.bytesPerCluster = volume.bytesPerCluster();
    header.fileSystemType = fileSystemByte(volume.fileSystemType());
    writer.writeVolumeHeader(header);

    std::unique_ptr<uint8_t[]> bitmap;
    volume.readWholeBitmap(bitmap);
    writer.writeBitmap(bitmap.get(), static_cast<size_t>((header.totalClusters + 7) / 8));
    bitmap.reset();

    const bool withDirectories = config.dumpType() != kDumpFilesOnly;
    const WString root = WString(1, header.driveLetter) + u":";
    const uint32_t start = platform::tickCount();
    std::vector<DumpEntry> entries;
    if (withDirectories) entries.push_back({root + u"\\", true});
    collect(context, root, withDirectories, entries);
    LogMessage(scope, LogPriority::Informal)
        .text("Time needed: ")
        .prop("Time", platform::tickElapsed(start, platform::tickCount()));

    writer.writeEntryListHeader(entries.size());
    for (const DumpEntry& entry : entries) {
        // A volume of a million entries takes long to dump; a stop must not wait for it.
        checkState(context);
        writer.writeEntry(entry.path, extentsOf(context, entry));
    }
}
