// Memory volumes rebuilt from a volume dump, so that the engine can be run on the allocation
// state of a real machine: every directory and file of the dump is re-created with its clusters
// where the dump puts them, and the cluster bitmap of the result equals the dump's.
//
// Where the dump contradicts itself (it is taken from a live volume), the bitmap wins: clusters
// an entry claims that the bitmap says are free, or that an earlier entry already took, are left
// out of that entry. A file entry whose runs are exactly those of an earlier file is a further
// name of that file (a hard link) and shares its data. Clusters the bitmap says are in use but no
// entry lists (file-system metadata, files the walk could not see) are held by hidden files at the
// root that are reparse points, so that a walk never picks them up and they never move.
//
// The bitmap of a dump has no bit for the last totalClusters % 8 clusters. Those that entries
// claim go to the entries; the others are held like unlisted clusters, so that nothing is placed
// where the dump cannot show it and a dump of the result shows the same free space. Attributes
// are not in a dump: files come back as ordinary archive files, directories as plain directories.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "volume/volume_dump_format.h"
#include "sim/memory_volume.h"

struct CImageFromDumpReport {
    uint64_t directories = 0;       // re-created, the root not counted
    uint64_t files = 0;
    uint64_t skippedEntries = 0;    // could not be re-created (a name the file system refuses, a duplicate)
    uint64_t hardLinks = 0;         // file entries made further names of an earlier file
    uint64_t droppedClusters = 0;   // claimed by an entry but free in the bitmap
    uint64_t sharedClusters = 0;    // claimed by an entry but taken first by another (not a hard link)
    uint64_t reservedClusters = 0;  // in use in the bitmap (or without a bit), listed by no entry
    uint64_t clustersWithoutBit = 0;   // the last totalClusters % 8
    uint64_t claimedWithoutBit = 0;    // of those, held by entries
    uint64_t reservedFiles = 0;     // the hidden files that hold them
};

// The name prefix of the hidden files that hold unlisted clusters ("$Reserved.1", ...).
extern const char16_t* const kReservedFilePrefix;

// Null with a reason when the dump's geometry cannot make a memory volume.
std::shared_ptr<CMemoryVolume> volumeFromDump(const volume_dump::VolumeDumpVolume& dump, CImageFromDumpReport& report,
                                              std::string& error);

struct CImageFromDump {
    std::filesystem::path image;
    char16_t driveLetter = 0;
    CImageFromDumpReport report;
};

// Reads a dump file and writes one image per volume section into `directory` (created when
// missing), named after the section's drive letter ("C.vimg"; a later section of a letter already
// used gets "C-2.vimg", ...), so that a simulation directory built this way gives each image its
// letter again when the letters of the dump start at C without gaps. False with a reason when the
// dump cannot be read or an image cannot be made; images made before that stay.
bool imagesFromDump(const std::filesystem::path& dumpFile, const std::filesystem::path& directory,
                    std::vector<CImageFromDump>& made, std::string& error);
