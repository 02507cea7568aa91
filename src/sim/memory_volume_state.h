// Inside of the memory volume, shared by its source files only.
#pragma once
#include <cstdlib>
#include <map>
#include <new>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/event.h"
#include "platform/byte_order.h"
#include "sim/memory_volume.h"

namespace memvol {

using Run = CMemoryVolume::Run;
constexpr uint64_t kVirtual = CMemoryVolume::kVirtualLcn;
constexpr uint64_t kUnit = CMemoryVolume::kCompressionUnit;
constexpr uint32_t kNoNode = 0xFFFFFFFFu;
constexpr uint32_t kRoot = 0;

struct NoCaseLess {
    bool operator()(const WString& a, const WString& b) const { return platform::compareNoCase(a, b) < 0; }
};

// A directory lists its entries as values in this form: a file id, or (with kLinkBit) the index of
// a further name of a file in State::links. Ids stay below kLinkBit.
constexpr uint32_t kLinkBit = 0x80000000u;

struct Node {
    uint32_t parent = kNoNode;
    WString name;
    bool directory = false;
    DWORD attributes = 0;  // without FILE_ATTRIBUTE_DIRECTORY
    uint64_t size = 0;
    std::vector<Run> runs;
    // A directory's entry values, sorted by their names compared case-insensitively. A sorted
    // vector rather than a map, and none at all for a file: a million files then take a third of
    // the memory and insert as fast.
    std::unique_ptr<std::vector<uint32_t>> entries;

    const std::vector<uint32_t>& children() const {
        static const std::vector<uint32_t> none;
        return entries ? *entries : none;
    }
    std::vector<uint32_t>& children() {
        if (!entries) entries = std::make_unique<std::vector<uint32_t>>();
        return *entries;
    }

    uint64_t totalVcn() const {
        uint64_t n = 0;
        for (const Run& r : runs) n += r.length;
        return n;
    }
    bool unitAllocated() const {
        return (attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE)) != 0 && !directory;
    }
    DWORD reportedAttributes() const {
        DWORD a = attributes | (directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
        return a ? a : FILE_ATTRIBUTE_NORMAL;
    }
};

// A further name of a file (a hard link); node is kNoNode once the name is removed.
struct Link {
    uint32_t node = kNoNode;
    uint32_t parent = kNoNode;
    WString name;
};

struct FindEntry {
    WString name;
    DWORD attributes;
    uint64_t size;
};

struct HandleEntry {
    enum class Kind { Device, File, Find } kind = Kind::File;
    uint32_t node = kNoNode;
    DWORD access = 0;
    std::vector<FindEntry> entries;
    size_t next = 0;
};

// Pending notifications of one change feed.
struct FeedQueue {
    std::vector<std::pair<DWORD, WString>> records;
    size_t bytes = 0;
    bool overflowed = false;
    platform::Event ready{platform::Event::Reset::Manual};
};

// A name the file system accepts for a directory entry.
bool validName(const WString& name);
// Appends a run to a run list, merging it with the last run when they touch.
void appendRun(std::vector<Run>& runs, Run r);

// The data of every cluster, zero at first. A large calloc comes as fresh pages that take no
// memory until written, so the clusters that no file ever used cost nothing.
class ClusterData {
public:
    void reset(size_t count) {
        data_.reset(static_cast<uint32_t*>(std::calloc(count ? count : 1, sizeof(uint32_t))));
        if (!data_) throw std::bad_alloc();
        size_ = count;
    }
    uint32_t& operator[](size_t i) { return data_.get()[i]; }
    uint32_t operator[](size_t i) const { return data_.get()[i]; }
    uint32_t* data() { return data_.get(); }
    const uint32_t* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    struct Free {
        void operator()(uint32_t* p) const { std::free(p); }
    };
    std::unique_ptr<uint32_t, Free> data_;
    size_t size_ = 0;
};

// Whether a node's size fits its allocation (resident, whole clusters, whole compression units).
bool sizeFitsAllocation(const Node& n, uint64_t bytesPerCluster);

enum MutationOp : uint8_t {
    kOpCreate = 1,
    kOpExtend = 2,
    kOpMove = 3,
    kOpDelete = 4,
    kOpTruncate = 5,
    kOpLink = 6,    // a further name for a file
    kOpUnlink = 7,  // one name of a file that has several
};

// Little-endian encoding used by journal records and the serialized state.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u32(uint32_t v) { platform::appendLE(out_, v, 4); }
    void u64(uint64_t v) { platform::appendLE(out_, v, 8); }
    void text(const WString& s) {
        u32(static_cast<uint32_t>(s.size()));
        platform::appendUtf16LE(out_, s);
    }

private:
    std::vector<uint8_t>& out_;
};

class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool u8(uint8_t& v) {
        if (end_ - p_ < 1) return false;
        v = *p_++;
        return true;
    }
    bool u32(uint32_t& v) {
        if (end_ - p_ < 4) return false;
        v = platform::loadLE32(p_);
        p_ += 4;
        return true;
    }
    bool u64(uint64_t& v) {
        if (end_ - p_ < 8) return false;
        v = platform::loadLE64(p_);
        p_ += 8;
        return true;
    }
    // Strings longer than a path may be are refused, so a damaged count cannot ask for gigabytes.
    bool text(WString& s, uint32_t maxUnits = 32767) {
        uint32_t n;
        if (!u32(n) || n > maxUnits || static_cast<size_t>(end_ - p_) < size_t(n) * 2) return false;
        s = platform::loadUtf16LE(p_, n);
        p_ += size_t(n) * 2;
        return true;
    }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    const uint8_t* position() const { return p_; }
    void skip(size_t n) { p_ += n; }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace memvol

struct CMemoryVolume::State {
    Geometry geometry;
    char16_t letter = u'C';
    std::vector<std::unique_ptr<memvol::Node>> nodes;  // index = file id; null once deleted
    std::vector<memvol::Link> links;                   // further names of files, rarely any
    std::vector<uint64_t> bitmap;                      // bit set = cluster in use
    uint64_t freeClusters = 0;
    memvol::ClusterData tags;                          // the data of each cluster
    std::unordered_map<uintptr_t, memvol::HandleEntry> handles;
    uintptr_t nextHandle = 0x104;
    uint64_t allocationCursor = 0;
    uint64_t moves = 0;

    DWORD moveFaultError = 0;
    uint32_t moveFaultCount = 0;
    std::map<WString, DWORD, memvol::NoCaseLess> openFaults;
    uint32_t deviceDenials = 0;
    DWORD volumeInformationError = 0;
    std::map<DWORD, ControlAnswer> controlAnswers;
    bool gone = false;

    Journal* journal = nullptr;
    std::vector<std::shared_ptr<memvol::FeedQueue>> feeds;

    // --- clusters
    bool used(uint64_t lcn) const { return (bitmap[lcn >> 6] >> (lcn & 63)) & 1u; }
    void markUsed(uint64_t lcn, uint64_t length);
    void markFree(uint64_t lcn, uint64_t length);
    bool rangeFree(uint64_t lcn, uint64_t length) const;
    // The first free cluster at or after lcn, or totalClusters.
    uint64_t nextFree(uint64_t lcn) const;
    // The first used cluster at or after lcn, or totalClusters; the search stops at limit.
    uint64_t nextUsed(uint64_t lcn, uint64_t limit = ~0ull) const;
    // Finds and marks `count` clusters: first right after `after` (when valid), then the free
    // runs from the rolling cursor on. Empty when the volume has too few free clusters.
    std::vector<memvol::Run> allocate(uint64_t count, uint64_t after);

    // --- tree
    memvol::Node* node(uint32_t id) const { return id < nodes.size() ? nodes[id].get() : nullptr; }
    WString pathOf(uint32_t id) const;  // relative to the root, without a leading backslash
    // Directory entries: the name and the file of an entry value, the entry of a name (kNoNode
    // when the directory has none), adding and removing an entry.
    const WString& entryName(uint32_t entry) const {
        return (entry & memvol::kLinkBit) ? links[entry & ~memvol::kLinkBit].name : nodes[entry]->name;
    }
    uint32_t entryNode(uint32_t entry) const {
        return (entry & memvol::kLinkBit) ? links[entry & ~memvol::kLinkBit].node : entry;
    }
    uint32_t findChild(const memvol::Node& dir, const WString& name) const;
    bool insertChild(memvol::Node& dir, uint32_t entry);
    void eraseChild(memvol::Node& dir, uint32_t entry);
    // Whether a file has names besides its first.
    bool hasLinks(uint32_t id) const;

    // --- changes; each returns false when the change does not fit the state (replay of a
    // damaged record) and leaves the state untouched then.
    bool applyCreate(uint32_t parent, const WString& name, bool directory, DWORD attributes, uint32_t& id);
    bool applyExtend(uint32_t id, uint64_t newSize, const std::vector<memvol::Run>& runs, bool clustersReserved);
    bool applyMove(uint32_t id, uint64_t startVcn, uint64_t count, uint64_t targetLcn);
    bool applyDelete(uint32_t id);
    bool applyTruncate(uint32_t id);
    bool applyLink(uint32_t id, uint32_t parent, const WString& name);
    bool applyUnlink(uint32_t parent, const WString& name);
    bool applyRecord(const uint8_t* data, size_t size);
    // Checks a move as the file system does; ERROR_SUCCESS or the error it reports.
    DWORD checkMove(const memvol::Node& file, uint64_t startVcn, uint64_t count, uint64_t targetLcn) const;

    // --- notifications
    void notify(DWORD action, uint32_t id);
};
