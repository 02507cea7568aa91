// The volume dump file: a diagnostic picture of each volume's allocation (identity, cluster
// bitmap, files and their extents), written by the worker in dump mode and read by the report
// tool. Numbers are little-endian without padding; a string is a 32-bit count of UTF-16 units
// followed by count + 1 units (the text and a terminating 0).
//
// One file holds any number of consecutive volume sections:
//   "VDFH", drive letter (2 bytes), volume name (string), total clusters (8), bytes per cluster (4),
//   file-system type (1: 1 NTFS, 2 FAT, 3 FAT32, 255 unknown),
//   "BMPB", bitmap (total clusters / 8 bytes, integer division: the last total % 8 clusters have
//   no bit), "BMPE",
//   "EYLH", entry count (8), entries.
// Entry: path (string); a 32-bit value that is always 1 (it carries nothing; readers keep it as
// read); a 64-bit value that is the number of extent pairs that follow; then that many pairs of
// 64-bit LCNs, the first and the last cluster of one run on disk (inclusive), in file order.
//
// The entry list: a directory's path ends with a backslash ("C:\Windows\"); every other path is a
// file. Only runs that occupy clusters are written (sparse and virtual runs have none); an entry
// whose extents cannot be read is written with no pairs.
#pragma once
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace volume_dump {

// File-system type byte values.
constexpr uint8_t kFileSystemNtfs = 1;
constexpr uint8_t kFileSystemFat = 2;
constexpr uint8_t kFileSystemFat32 = 3;
constexpr uint8_t kFileSystemUnknown = 255;

// The value of every entry's 32-bit field.
constexpr uint32_t kEntryMark = 1;
// The bitmap goes out in blocks of at most this many bytes.
constexpr size_t kBitmapBlockBytes = 4096;
// The longest path the system handles, in UTF-16 units.
constexpr uint32_t kMaxPathLength = 32767;

struct VolumeDumpHeader {
    char16_t driveLetter = 0;
    WString volumeName;
    uint64_t totalClusters = 0;
    uint32_t bytesPerCluster = 0;
    uint8_t fileSystemType = kFileSystemUnknown;
};

// One run of a file on disk: its first and last logical cluster, inclusive.
struct VolumeDumpExtent {
    uint64_t start = 0;
    uint64_t end = 0;
    bool operator==(const VolumeDumpExtent& o) const { return start == o.start && end == o.end; }
    bool operator!=(const VolumeDumpExtent& o) const { return !(*this == o); }
};

// An entry as read; its extents are extentCount records of the volume's extent list from
// firstExtent on (one list per volume keeps a large dump compact).
struct VolumeDumpEntry {
    WString path;
    uint32_t mark = kEntryMark;
    size_t firstExtent = 0;
    size_t extentCount = 0;
};

struct VolumeDumpVolume {
    VolumeDumpHeader header;
    std::vector<uint8_t> bitmap;  // totalClusters / 8 bytes; bit n of byte k = cluster 8k + n, 1 = used
    std::vector<VolumeDumpEntry> entries;
    std::vector<VolumeDumpExtent> extents;

    // The extents of one entry (empty when the entry has none).
    const VolumeDumpExtent* extentsOf(const VolumeDumpEntry& e) const {
        return e.extentCount ? &extents[e.firstExtent] : nullptr;
    }
    // Appends an entry and its extents; for building volumes in memory.
    void addEntry(const WString& path, const std::vector<VolumeDumpExtent>& runs);
};

// True for the path of a directory entry (it ends with a backslash, or a slash).
bool isDirectoryPath(const WString& path);

// Where the writer's bytes go. write returns true only when every byte went out.
class VolumeDumpSink {
public:
    virtual ~VolumeDumpSink() = default;
    virtual bool write(const void* data, size_t size) = 0;
};

// Writes volume sections one part at a time, in the order of the layout above. Every short
// write throws CDfrgException(ErrorWriteFile) with the text of what was being written:
// "Error writing string " followed by the string, "Error writing Entry" for an entry's two
// values, "Error writing lStart" / "Error writing lEnd" for an extent. The output is not owned.
// Not thread safe; one writer per output.
class CVolumeDumpWriter {
public:
    explicit CVolumeDumpWriter(FILE* file);  // a file opened "wb"
    explicit CVolumeDumpWriter(std::ostream& out);
    explicit CVolumeDumpWriter(VolumeDumpSink& sink);
    ~CVolumeDumpWriter();
    CVolumeDumpWriter(const CVolumeDumpWriter&) = delete;
    CVolumeDumpWriter& operator=(const CVolumeDumpWriter&) = delete;

    // "VDFH" and the volume's facts. A name longer than kMaxPathLength throws
    // CDfrgException(ErrorInvalidParameter) before anything is written.
    void writeVolumeHeader(const VolumeDumpHeader& header);
    // "BMPB", the first totalClusters / 8 bytes of the bitmap (of the last header), "BMPE".
    // A bitmap shorter than that throws CDfrgException(ErrorInvalidParameter) before anything is
    // written.
    void writeBitmap(const uint8_t* bitmap, size_t size);
    // "EYLH" and the number of entries that follow.
    void writeEntryListHeader(uint64_t entryCount);
    // One entry. A path longer than kMaxPathLength throws CDfrgException(ErrorInvalidParameter)
    // before anything is written, so that no file holds what a reader must refuse.
    void writeEntry(const WString& path, const VolumeDumpExtent* extents, size_t count);
    void writeEntry(const WString& path, const std::vector<VolumeDumpExtent>& extents) {
        writeEntry(path, extents.data(), extents.size());
    }
    // A whole volume section.
    void writeVolume(const VolumeDumpVolume& volume);

private:
    void put(const void* data, size_t size, const char* what);
    void putString(const WString& text);

    std::unique_ptr<VolumeDumpSink> owned_;
    VolumeDumpSink* sink_;
    uint64_t totalClusters_ = 0;
};

// Reads every volume section of a dump from the current position of a seekable binary stream to
// its end. An empty stream holds no volumes. A damaged dump (a wrong tag, a section cut short,
// a count or a string longer than the rest of the file can hold, a path longer than
// kMaxPathLength, an extent that starts after it ends or lies outside its volume) throws
// CDfrgException(ErrorReadFile) whose message names the offset and the fault. Counts from the
// file are checked against the bytes left before anything is allocated for them.
std::vector<VolumeDumpVolume> readVolumeDump(std::istream& in);

}  // namespace volume_dump
