// A whole-volume check of an unmounted NTFS volume, independent of the volume interface: who owns
// every cluster (all non-resident attributes of all file records), how that compares with the
// cluster bitmap, a content hash of every file, and which files are fragmented. Used to prove
// that a defragmentation run changed no file's content and left the allocation sound.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ntfsvol {

struct VolumeCheck {
    bool opened = false;
    std::string error;               // why the volume could not be opened or read
    uint64_t totalClusters = 0;
    uint64_t clusterSize = 0;
    uint64_t doubleOwned = 0;        // clusters in more than one run list
    uint64_t ownedButFree = 0;       // clusters in a run list but free in the bitmap
    uint64_t leaked = 0;             // clusters in use in the bitmap but in no run list
    uint64_t files = 0;              // files reached from the root (each file record once)
    uint64_t fileBytes = 0;          // bytes of their unnamed data streams
    uint64_t fragmentedFiles = 0;    // files whose data lies in more than one piece
    uint64_t fragmentedRefused = 0;  // ... of which the kinds that are not moved
    uint64_t fragmentedClusters = 0;  // clusters of the fragmented files of kinds that are moved
    std::vector<std::string> fragmentedPaths;  // "path (kind)"
    std::map<uint64_t, uint64_t> hashes;       // file record -> hash of the unnamed data stream
    std::map<uint64_t, std::string> paths;     // file record -> one of its paths

    bool sound() const { return opened && doubleOwned == 0 && ownedButFree == 0; }
};

// Opens the device read-only and checks it; with hashes, reads every file's data.
VolumeCheck checkVolume(const std::string& device, bool withHashes);

}  // namespace ntfsvol
