// An unmounted NTFS volume opened through libntfs-3g, in the terms the volume interface needs:
// file records found by path, their attributes and run lists, directory listings, the cluster
// bitmap, and the safe move of a file's clusters. It sees neither the library's types nor the
// Windows ones (the two sets of headers cannot meet in one source file). Not thread safe.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"

namespace ntfsvol {

enum class Status {
    Ok,
    NotFound,      // the file (the last component) does not exist
    PathNotFound,  // a directory on the way does not exist
    EndOfFile,     // no clusters of its own (kept in its file record, or nothing at all)
    Refused,       // a file this volume does not move
    Invalid,       // a range outside the file or the volume, or target clusters not free
    Corrupt,       // the file system's structures could not be read
    IoError,       // a read or write of the device failed, or a move was told to stop
};

struct FileFacts {
    uint32_t attributes = 0;  // the FILE_ATTRIBUTE_* values, with the directory bit
    uint64_t size = 0;        // bytes of the unnamed data stream; 0 for a directory
};

struct Extent {
    int64_t lcn;  // -1 for a hole (sparse stretch, unallocated tail of a compression unit)
    uint64_t length;
};

struct ListedEntry {
    WString name;
    uint64_t mft;
    FileFacts facts;
};

class NtfsDisk {
public:
    // Opens the device or image, refusing what must not be touched. Null with `why` set (a
    // sentence for a person) when it cannot or must not be used.
    static std::unique_ptr<NtfsDisk> open(const std::string& device, bool writable, std::string& why);
    ~NtfsDisk();

    uint64_t totalClusters() const;
    uint32_t clusterSize() const;
    uint32_t sectorSize() const;
    uint32_t recordSize() const;
    std::string label() const;
    // The cluster bitmap as on disk, one bit per cluster (1 = in use), (totalClusters + 7) / 8 bytes.
    const std::vector<uint8_t>& bitmap() const { return bitmap_; }
    uint64_t freeClusters() const;

    // The file record of a path relative to the root (components without separators); metadata
    // is set when the file system keeps the file, or a directory on its way, for itself.
    Status resolve(const std::vector<WString>& components, uint64_t& mft, bool& metadata) const;
    Status facts(uint64_t mft, FileFacts& out) const;
    // The runs of the file's data as the engine sees it (the unnamed data stream of a file, the
    // index allocation of a directory), in VCN order, adjacent runs merged.
    Status extents(uint64_t mft, std::vector<Extent>& out) const;
    // The entries of a directory (with "." and ".."), long names only.
    Status list(uint64_t mft, std::vector<ListedEntry>& out) const;

    // Moves the clusters of VCNs [startVcn, startVcn + count) of a file to target and on (holes
    // stay holes): reserve the target, copy and compare, switch the run list, free the old
    // clusters. `copiedClusters` receives the clusters whose data moved.
    Status move(uint64_t mft, bool metadata, uint64_t startVcn, uint64_t count, uint64_t target,
                uint64_t& copiedClusters);
    // For tests: the next moves end right after this step (1 target reserved, 2 data copied,
    // 3 run list switched, 4 old clusters freed) with IoError, as a kill there would; 0 for none.
    void setStopAfterStep(int step) { stopAfterStep_ = step; }

private:
    struct Lib;
    NtfsDisk();
    bool used(uint64_t lcn) const { return (bitmap_[lcn >> 3] >> (lcn & 7)) & 1; }
    void setBits(uint64_t lcn, uint64_t count, bool value);
    bool rereadBitmap(uint64_t lcn, uint64_t count);

    std::unique_ptr<Lib> lib_;
    std::vector<uint8_t> bitmap_;
    int stopAfterStep_ = 0;
};

}  // namespace ntfsvol
