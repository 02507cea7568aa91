#include "ntfs/ntfs_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "logging/log.h"
#include "ntfs/ntfs_access.h"

namespace ntfsvol {

namespace {

// Bytes copied per read and write of a move.
constexpr int64_t kCopyChunkBytes = 1 << 20;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kAttributeSparse = 0x200;
constexpr uint32_t kAttributeCompressed = 0x800;
constexpr uint32_t kAttributeEncrypted = 0x4000;

std::string describeMountError(int error) {
    switch (ntfs_volume_error(error)) {
    case NTFS_VOLUME_NOT_NTFS: return "it holds no NTFS file system";
    case NTFS_VOLUME_CORRUPT: return "its NTFS structures are damaged (let Windows check it with chkdsk)";
    case NTFS_VOLUME_HIBERNATED:
        return "Windows is hibernated on it, or was shut down with fast start (start Windows and shut it down "
               "fully)";
    case NTFS_VOLUME_UNCLEAN_UNMOUNT:
        return "it was not closed cleanly (start Windows and shut it down fully)";
    case NTFS_VOLUME_LOCKED: return "another program has it open";
    case NTFS_VOLUME_NO_PRIVILEGE: return "no permission to open it";
    default: return std::string("ntfs-3g cannot open it: ") + std::strerror(error);
    }
}

// A device or image file that cannot be written: no write permission, a read-only file system
// under the image, or a block device switched to read-only.
bool isReadOnly(const std::string& device) {
    int fd = ::open(device.c_str(), O_RDWR);
    if (fd < 0) return errno == EROFS || errno == EACCES || errno == EPERM;
    int readOnly = 0;
    struct stat st;
    const bool blockReadOnly =
        fstat(fd, &st) == 0 && S_ISBLK(st.st_mode) && ioctl(fd, BLKROGET, &readOnly) == 0 && readOnly;
    ::close(fd);
    return blockReadOnly;
}

struct Piece {
    int64_t from;
    int64_t to;
    int64_t length;
};

// The run list with the real clusters of [startVcn, endVcn) placed one after the other from
// target; adjacent runs merged, closed by the terminator the library expects.
std::vector<runlist_element> switchedRunList(const std::vector<Run>& runs, uint64_t startVcn, uint64_t endVcn,
                                             int64_t target) {
    std::vector<runlist_element> out;
    auto add = [&out](uint64_t vcn, LCN lcn, int64_t length) {
        if (length <= 0) return;
        if (!out.empty()) {
            runlist_element& last = out.back();
            const bool bothHoles = last.lcn == LCN_HOLE && lcn == LCN_HOLE;
            const bool follows = last.lcn >= 0 && lcn >= 0 && last.lcn + last.length == lcn;
            if (bothHoles || follows) {
                last.length += length;
                return;
            }
        }
        out.push_back({static_cast<VCN>(vcn), lcn, length});
    };
    uint64_t vcn = 0;
    int64_t placed = 0;
    for (const Run& r : runs) {
        const uint64_t runStart = vcn, runEnd = vcn + static_cast<uint64_t>(r.length);
        const uint64_t a = std::max(runStart, startVcn), b = std::min(runEnd, endVcn);
        auto lcnAt = [&](uint64_t v) -> LCN { return r.lcn < 0 ? static_cast<LCN>(LCN_HOLE) : r.lcn + static_cast<int64_t>(v - runStart); };
        if (a >= b) {
            add(runStart, lcnAt(runStart), r.length);
        } else {
            add(runStart, lcnAt(runStart), static_cast<int64_t>(a - runStart));
            if (r.lcn < 0) {
                add(a, LCN_HOLE, static_cast<int64_t>(b - a));
            } else {
                add(a, target + placed, static_cast<int64_t>(b - a));
                placed += static_cast<int64_t>(b - a);
            }
            add(b, lcnAt(b), static_cast<int64_t>(runEnd - b));
        }
        vcn = runEnd;
    }
    out.push_back({static_cast<VCN>(vcn), LCN_ENOENT, 0});
    return out;
}

// Writes the new run list into a copy of the file record: the record in memory is replaced only
// once the copy is complete, so that a failure leaves it as it was.
Status prepareRecord(ntfs_inode* ni, const DataStream& stream, const std::vector<runlist_element>& rl,
                     std::vector<uint8_t>& record) {
    ntfs_volume* vol = ni->vol;
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) return Status::IoError;
    Status status = Status::Ok;
    if (ntfs_attr_lookup(stream.type, stream.name, stream.nameLength, CASE_SENSITIVE, 0, nullptr, 0, ctx) != 0) {
        status = Status::Corrupt;
    } else {
        ATTR_RECORD* a = ctx->attr;
        MFT_RECORD* m = ctx->mrec;
        const int64_t lastVcn = rl.back().vcn - 1;
        if (ctx->ntfs_ino != ni || !a->non_resident || sle64_to_cpu(a->lowest_vcn) != 0 ||
            sle64_to_cpu(a->highest_vcn) != lastVcn) {
            status = Status::Refused;  // spread over several records
        } else {
            const uint32_t mpOffset = le16_to_cpu(a->mapping_pairs_offset);
            const int mpSize = ntfs_get_size_for_mapping_pairs(vol, rl.data(), 0, INT32_MAX);
            const uint32_t newLength = (mpOffset + static_cast<uint32_t>(mpSize) + 7) & ~7u;
            const uint32_t inUse = le32_to_cpu(m->bytes_in_use), oldLength = le32_to_cpu(a->length);
            if (mpSize < 0) {
                status = Status::Corrupt;
            } else if (inUse - oldLength + newLength > le32_to_cpu(m->bytes_allocated)) {
                status = Status::Refused;  // the run list would outgrow the record
            } else {
                record.assign(reinterpret_cast<uint8_t*>(m), reinterpret_cast<uint8_t*>(m) + vol->mft_record_size);
                auto* mc = reinterpret_cast<MFT_RECORD*>(record.data());
                auto* ac = reinterpret_cast<ATTR_RECORD*>(record.data() + (reinterpret_cast<uint8_t*>(a) -
                                                                           reinterpret_cast<uint8_t*>(m)));
                if (ntfs_attr_record_resize(mc, ac, newLength) != 0 ||
                    ntfs_mapping_pairs_build(vol, reinterpret_cast<uint8_t*>(ac) + mpOffset,
                                             static_cast<int>(newLength - mpOffset), rl.data(), 0, nullptr) != 0)
                    status = Status::Corrupt;
            }
        }
    }
    ntfs_attr_put_search_ctx(ctx);
    return status;
}

}  // namespace

struct NtfsDisk::Lib {
    ntfs_volume* vol = nullptr;
    ~Lib() {
        if (vol) ntfs_umount(vol, FALSE);
    }
};

NtfsDisk::NtfsDisk() : lib_(std::make_unique<Lib>()) {}
NtfsDisk::~NtfsDisk() = default;

std::unique_ptr<NtfsDisk> NtfsDisk::open(const std::string& device, bool writable, std::string& why) {
    if (::access(device.c_str(), F_OK) != 0) {
        why = std::strerror(errno);
        return nullptr;
    }
    unsigned long mountFlags = 0;
    if (ntfs_check_if_mounted(device.c_str(), &mountFlags) == 0 && (mountFlags & NTFS_MF_MOUNTED)) {
        why = "it is mounted (unmount it first)";
        return nullptr;
    }
    if (writable && isReadOnly(device)) {
        why = "it is read-only";
        return nullptr;
    }
    std::unique_ptr<NtfsDisk> disk(new NtfsDisk());
    const unsigned long flags = writable ? NTFS_MNT_EXCLUSIVE : NTFS_MNT_RDONLY;
    disk->lib_->vol = ntfs_mount(device.c_str(), static_cast<ntfs_mount_flags>(flags));
    if (!disk->lib_->vol) {
        why = describeMountError(errno);
        return nullptr;
    }
    // A read-only mount does not look at the hibernation file; what is read would be stale anyway.
    if (!writable && ntfs_volume_check_hiberfile(disk->lib_->vol, 0) != 0) {
        why = describeMountError(EPERM);
        return nullptr;
    }
    if (disk->lib_->vol->flags & VOLUME_IS_DIRTY) {
        why = "it is marked dirty (let Windows check it with chkdsk first)";
        return nullptr;
    }
    disk->bitmap_.assign((disk->totalClusters() + 7) / 8, 0);
    const s64 n = static_cast<s64>(disk->bitmap_.size());
    if (ntfs_attr_pread(disk->lib_->vol->lcnbmp_na, 0, n, disk->bitmap_.data()) != n) {
        why = "its cluster bitmap cannot be read";
        return nullptr;
    }
    return disk;
}

uint64_t NtfsDisk::totalClusters() const { return static_cast<uint64_t>(lib_->vol->nr_clusters); }
uint32_t NtfsDisk::clusterSize() const { return lib_->vol->cluster_size; }
uint32_t NtfsDisk::sectorSize() const { return lib_->vol->sector_size; }
uint32_t NtfsDisk::recordSize() const { return lib_->vol->mft_record_size; }
std::string NtfsDisk::label() const { return lib_->vol->vol_name ? lib_->vol->vol_name : ""; }

uint64_t NtfsDisk::freeClusters() const {
    uint64_t free = 0;
    for (uint64_t c = 0; c < totalClusters(); ++c) free += !used(c);
    return free;
}

void NtfsDisk::setBits(uint64_t lcn, uint64_t count, bool value) {
    for (uint64_t c = lcn; c < lcn + count; ++c) {
        if (value) bitmap_[c >> 3] = static_cast<uint8_t>(bitmap_[c >> 3] | (1u << (c & 7)));
        else bitmap_[c >> 3] = static_cast<uint8_t>(bitmap_[c >> 3] & ~(1u << (c & 7)));
    }
}

bool NtfsDisk::rereadBitmap(uint64_t lcn, uint64_t count) {
    const uint64_t first = lcn / 8, last = (lcn + count - 1) / 8;
    const s64 n = static_cast<s64>(last - first + 1);
    return ntfs_attr_pread(lib_->vol->lcnbmp_na, static_cast<s64>(first), n, bitmap_.data() + first) == n;
}

Status NtfsDisk::resolve(const std::vector<WString>& components, uint64_t& mft, bool& metadata) const {
    mft = FILE_root;
    metadata = false;
    for (size_t i = 0; i < components.size(); ++i) {
        Inode dir(lib_->vol, mft);
        if (!dir || !isDirectory(dir.get())) return Status::PathNotFound;
        std::vector<ntfschar> name;
        for (char16_t c : components[i]) name.push_back(cpu_to_le16(static_cast<uint16_t>(c)));
        const u64 found = ntfs_inode_lookup_by_name(dir.get(), name.data(), static_cast<int>(name.size()));
        if (found == static_cast<u64>(-1)) return i + 1 == components.size() ? Status::NotFound : Status::PathNotFound;
        mft = MREF(found);
        if (mft < FILE_first_user) metadata = true;
    }
    if (mft < FILE_first_user) metadata = true;
    return Status::Ok;
}

Status NtfsDisk::facts(uint64_t mft, FileFacts& out) const {
    Inode ni(lib_->vol, mft);
    if (!ni) return Status::NotFound;
    uint32_t attributes = le32_to_cpu(ni->flags) & 0xFFFFu & ~kAttributeDirectory;
    out.size = 0;
    if (isDirectory(ni.get())) {
        attributes |= kAttributeDirectory;
    } else {
        Attr na(ni.get(), AT_DATA, AT_UNNAMED, 0);
        if (na) {
            out.size = static_cast<uint64_t>(na->data_size);
            // What the data stream is, rather than what the file's flags last said.
            if (na->data_flags & ATTR_IS_COMPRESSED) attributes |= kAttributeCompressed;
            if (na->data_flags & ATTR_IS_SPARSE) attributes |= kAttributeSparse;
            if (na->data_flags & ATTR_IS_ENCRYPTED) attributes |= kAttributeEncrypted;
        }
    }
    out.attributes = attributes ? attributes : kAttributeNormal;
    return Status::Ok;
}

Status NtfsDisk::extents(uint64_t mft, std::vector<Extent>& out) const {
    out.clear();
    Inode ni(lib_->vol, mft);
    if (!ni) return Status::NotFound;
    const DataStream stream = dataStreamOf(ni.get());
    Attr na(ni.get(), stream.type, stream.name, stream.nameLength);
    if (!na || !NAttrNonResident(na.get())) return Status::EndOfFile;
    std::vector<Run> runs;
    if (!readRuns(na.get(), runs)) return Status::Corrupt;
    for (const Run& r : runs) out.push_back({r.lcn, static_cast<uint64_t>(r.length)});
    return out.empty() ? Status::EndOfFile : Status::Ok;
}

Status NtfsDisk::list(uint64_t mft, std::vector<ListedEntry>& out) const {
    out.clear();
    std::vector<DirEntry> entries;
    {
        Inode dir(lib_->vol, mft);
        if (!dir || !isDirectory(dir.get())) return Status::PathNotFound;
        if (!readDirectory(dir.get(), entries)) return Status::Corrupt;
    }
    for (const DirEntry& e : entries) {
        ListedEntry item{e.name, e.mft, {}};
        if (facts(e.mft, item.facts) == Status::Ok) out.push_back(std::move(item));
    }
    return Status::Ok;
}

Status NtfsDisk::move(uint64_t mft, bool metadata, uint64_t startVcn, uint64_t count, uint64_t target,
                      uint64_t& copiedClusters) {
    copiedClusters = 0;
    ntfs_volume* vol = lib_->vol;
    if (metadata) return Status::Refused;
    Inode ni(vol, mft);
    if (!ni) return Status::NotFound;
    if (NInoAttrList(ni.get()) || ni->nr_extents != 0) return Status::Refused;
    const DataStream stream = dataStreamOf(ni.get());
    std::vector<Run> runs;
    {
        Attr na(ni.get(), stream.type, stream.name, stream.nameLength);
        if (!na || !NAttrNonResident(na.get())) return Status::Invalid;
        if (na->data_flags & (ATTR_IS_COMPRESSED | ATTR_IS_ENCRYPTED)) return Status::Refused;
        if (!readRuns(na.get(), runs)) return Status::Corrupt;
    }
    uint64_t totalVcn = 0;
    for (const Run& r : runs) totalVcn += static_cast<uint64_t>(r.length);
    if (count == 0 || startVcn >= totalVcn || count > totalVcn - startVcn) return Status::Invalid;
    const uint64_t endVcn = startVcn + count;

    // The real clusters of the range in VCN order, and where each piece goes.
    std::vector<Piece> pieces;
    int64_t real = 0;
    uint64_t vcn = 0;
    for (const Run& r : runs) {
        const uint64_t a = std::max(vcn, startVcn), b = std::min(vcn + static_cast<uint64_t>(r.length), endVcn);
        if (a < b && r.lcn >= 0) {
            const int64_t length = static_cast<int64_t>(b - a);
            pieces.push_back({r.lcn + static_cast<int64_t>(a - vcn), static_cast<int64_t>(target) + real, length});
            real += length;
        }
        vcn += static_cast<uint64_t>(r.length);
    }
    if (real == 0) return Status::Ok;
    if (target >= totalClusters() || static_cast<uint64_t>(real) > totalClusters() - target) return Status::Invalid;
    if (!rereadBitmap(target, static_cast<uint64_t>(real))) return Status::IoError;
    for (uint64_t c = target; c < target + static_cast<uint64_t>(real); ++c)
        if (used(c)) return Status::Invalid;

    const std::vector<runlist_element> rl = switchedRunList(runs, startVcn, endVcn, static_cast<int64_t>(target));
    std::vector<uint8_t> record;
    const Status prepared = prepareRecord(ni.get(), stream, rl, record);
    if (prepared != Status::Ok) return prepared;

    // 1. The target clusters become in use: from here on a kill leaks them, nothing worse.
    if (ntfs_bitmap_set_run(vol->lcnbmp_na, static_cast<s64>(target), real) != 0) {
        rereadBitmap(target, static_cast<uint64_t>(real));
        return Status::IoError;
    }
    setBits(target, static_cast<uint64_t>(real), true);
    vol->free_clusters -= real;
    if (stopAfterStep_ == 1) return Status::IoError;

    // 2. The data is copied and read back; the file still points at its old clusters.
    const int64_t chunk = std::max<int64_t>(1, kCopyChunkBytes / vol->cluster_size);
    std::vector<uint8_t> data(static_cast<size_t>(chunk) * vol->cluster_size);
    std::vector<uint8_t> check(data.size());
    for (const Piece& p : pieces) {
        for (int64_t done = 0; done < p.length; done += chunk) {
            const int64_t n = std::min(chunk, p.length - done);
            if (ntfs_cluster_read(vol, p.from + done, n, data.data()) != n ||
                ntfs_cluster_write(vol, p.to + done, n, data.data()) != n)
                return Status::IoError;
        }
    }
    // One flush makes the reservation and the copy durable before anything points at the copy.
    if (ntfs_device_sync(vol->dev) != 0) return Status::IoError;
    for (const Piece& p : pieces) {
        for (int64_t done = 0; done < p.length; done += chunk) {
            const int64_t n = std::min(chunk, p.length - done);
            const size_t bytes = static_cast<size_t>(n) * vol->cluster_size;
            if (ntfs_cluster_read(vol, p.from + done, n, data.data()) != n ||
                ntfs_cluster_read(vol, p.to + done, n, check.data()) != n ||
                std::memcmp(data.data(), check.data(), bytes) != 0) {
                LogScope scope("ntfsMove");
                LogMessage(scope, LogPriority::Error)
                    .text("The copy differs from the original; the move is abandoned.")
                    .prop("Target LCN", static_cast<uint64_t>(p.to + done));
                return Status::IoError;
            }
        }
    }
    if (stopAfterStep_ == 2) return Status::IoError;

    // 3. One write of the file record switches the file to the copy; it is flushed before the old
    // clusters are given up, so that no crash can leave them free while the record names them.
    std::memcpy(ni->mrec, record.data(), record.size());
    ntfs_inode_mark_dirty(ni.get());
    if (ntfs_inode_sync(ni.get()) != 0 || ntfs_device_sync(vol->dev) != 0) {
        // Whether the record reached the disk is unknown: both copies stay in use.
        ni.reset();
        ntfs_inode_invalidate(vol, mft);
        return Status::IoError;
    }
    if (!ni.reset()) return Status::IoError;
    if (stopAfterStep_ == 3) return Status::IoError;

    // 4. The old clusters are free again.
    for (const Piece& p : pieces) {
        if (ntfs_bitmap_clear_run(vol->lcnbmp_na, p.from, p.length) != 0) {
            rereadBitmap(static_cast<uint64_t>(p.from), static_cast<uint64_t>(p.length));
            continue;  // left in use: a leak, not a loss
        }
        setBits(static_cast<uint64_t>(p.from), static_cast<uint64_t>(p.length), false);
        vol->free_clusters += p.length;
    }
    // Not flushed here: until the next flush a crash can only leave them in use (a leak).
    copiedClusters = static_cast<uint64_t>(real);
    if (stopAfterStep_ == 4) return Status::IoError;
    return Status::Ok;
}

}  // namespace ntfsvol
