// Small owners of libntfs-3g objects and the lookups the volume and the checks share.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/ntfs_lib.h"
#include "platform/text.h"

namespace ntfsvol {

// An open inode, closed when the owner goes.
class Inode {
public:
    Inode() = default;
    Inode(ntfs_volume* vol, uint64_t mft) : ni_(ntfs_inode_open(vol, static_cast<MFT_REF>(mft))) {}
    ~Inode() { reset(); }
    Inode(Inode&& o) noexcept : ni_(o.ni_) { o.ni_ = nullptr; }
    Inode& operator=(Inode&& o) noexcept {
        if (this != &o) {
            reset();
            ni_ = o.ni_;
            o.ni_ = nullptr;
        }
        return *this;
    }
    Inode(const Inode&) = delete;
    Inode& operator=(const Inode&) = delete;
    ntfs_inode* get() const { return ni_; }
    ntfs_inode* operator->() const { return ni_; }
    explicit operator bool() const { return ni_ != nullptr; }
    // Closes (writing the record when dirty); false when that write failed.
    bool reset() {
        int rc = 0;
        if (ni_) rc = ntfs_inode_close(ni_);
        ni_ = nullptr;
        return rc == 0;
    }

private:
    ntfs_inode* ni_ = nullptr;
};

// An open attribute, closed when the owner goes.
class Attr {
public:
    Attr(ntfs_inode* ni, ATTR_TYPES type, ntfschar* name, uint32_t nameLength)
        : na_(ni ? ntfs_attr_open(ni, type, name, nameLength) : nullptr) {}
    ~Attr() {
        if (na_) ntfs_attr_close(na_);
    }
    Attr(const Attr&) = delete;
    Attr& operator=(const Attr&) = delete;
    ntfs_attr* get() const { return na_; }
    ntfs_attr* operator->() const { return na_; }
    explicit operator bool() const { return na_ != nullptr; }

private:
    ntfs_attr* na_ = nullptr;
};

inline bool isDirectory(const ntfs_inode* ni) {
    return (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
}

// The attribute that holds a file's data as the engine sees it: the unnamed data stream of a
// file, the index allocation of a directory.
struct DataStream {
    ATTR_TYPES type;
    ntfschar* name;
    uint32_t nameLength;
};
DataStream dataStreamOf(const ntfs_inode* ni);

// One run of an attribute in VCN order; lcn < 0 is a hole (a sparse stretch or the unallocated
// tail of a compression unit).
struct Run {
    int64_t lcn;
    int64_t length;
};
// The whole run list of an open non-resident attribute, adjacent runs merged. False when it
// cannot be read.
bool readRuns(ntfs_attr* na, std::vector<Run>& runs);

// The UTF-16 text of a name as the library stores it.
WString nameText(const ntfschar* name, int length);

// One entry of a directory: its own name (the long name; short-only names are left out) and the
// file record it names. "." and ".." are included.
struct DirEntry {
    WString name;
    uint64_t mft;
};
bool readDirectory(ntfs_inode* dir, std::vector<DirEntry>& entries);

}  // namespace ntfsvol
