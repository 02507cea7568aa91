#include "ntfs/ntfs_check.h"

#include <cstdlib>
#include <cstring>
#include <set>

#include "ntfs/ntfs_access.h"

namespace ntfsvol {

namespace {

struct Mounted {
    ntfs_volume* vol;
    ~Mounted() {
        if (vol) ntfs_umount(vol, FALSE);
    }
};

uint64_t hashData(ntfs_inode* ni, bool& readable) {
    readable = true;
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    Attr na(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) return h;
    std::vector<uint8_t> buffer(1 << 20);
    for (s64 pos = 0; pos < na->data_size;) {
        const s64 n = ntfs_attr_pread(na.get(), pos, std::min<s64>(static_cast<s64>(buffer.size()), na->data_size - pos),
                                      buffer.data());
        if (n <= 0) {
            readable = false;
            return 0;
        }
        for (s64 i = 0; i < n; ++i) h = (h ^ buffer[static_cast<size_t>(i)]) * 1099511628211ull;
        pos += n;
    }
    return h ^ static_cast<uint64_t>(na->data_size);
}

// The pieces of a file's unnamed data on disk, and why it would not be moved, if it would not.
uint64_t dataPieces(ntfs_inode* ni, std::string& refusedKind, uint64_t& clusters) {
    refusedKind.clear();
    clusters = 0;
    Attr na(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na || !NAttrNonResident(na.get())) return 0;
    if (na->data_flags & ATTR_IS_COMPRESSED) refusedKind = "compressed";
    else if (na->data_flags & ATTR_IS_ENCRYPTED) refusedKind = "encrypted";
    else if (NInoAttrList(ni)) refusedKind = "attribute list";
    std::vector<Run> runs;
    if (!readRuns(na.get(), runs)) return 0;
    uint64_t pieces = 0;
    int64_t expected = -1;
    for (const Run& r : runs) {
        if (r.lcn < 0) continue;
        if (r.lcn != expected) ++pieces;
        clusters += static_cast<uint64_t>(r.length);
        expected = r.lcn + r.length;
    }
    return pieces;
}

void walkTree(ntfs_volume* vol, uint64_t dirMft, const std::string& dirPath, bool withHashes, VolumeCheck& out,
              std::set<uint64_t>& seen) {
    std::vector<DirEntry> entries;
    {
        Inode dir(vol, dirMft);
        if (!dir || !readDirectory(dir.get(), entries)) {
            out.error = "cannot list " + dirPath;
            return;
        }
    }
    for (const DirEntry& e : entries) {
        if (e.name == u"." || e.name == u".." || e.mft < FILE_first_user) continue;
        if (!seen.insert(e.mft).second) continue;
        const std::string path = dirPath + "/" + platform::utf16ToUtf8(e.name);
        Inode ni(vol, e.mft);
        if (!ni) {
            out.error = "cannot open " + path;
            continue;
        }
        if (isDirectory(ni.get())) {
            ni.reset();
            walkTree(vol, e.mft, path, withHashes, out, seen);
            continue;
        }
        ++out.files;
        out.paths[e.mft] = path;
        {
            Attr na(ni.get(), AT_DATA, AT_UNNAMED, 0);
            if (na) out.fileBytes += static_cast<uint64_t>(na->data_size);
        }
        std::string kind;
        uint64_t clusters = 0;
        if (dataPieces(ni.get(), kind, clusters) > 1) {
            ++out.fragmentedFiles;
            if (!kind.empty()) ++out.fragmentedRefused;
            else out.fragmentedClusters += clusters;
            out.fragmentedPaths.push_back(path + (kind.empty() ? "" : " (" + kind + ")"));
        }
        if (withHashes) {
            bool readable = true;
            out.hashes[e.mft] = hashData(ni.get(), readable);
            if (!readable) out.error = "cannot read " + path;
        }
    }
}

}  // namespace

VolumeCheck checkVolume(const std::string& device, bool withHashes) {
    VolumeCheck out;
    Mounted m{ntfs_mount(device.c_str(), NTFS_MNT_RDONLY)};
    if (!m.vol) {
        out.error = std::string("ntfs-3g cannot open it: ") + std::strerror(errno);
        return out;
    }
    ntfs_volume* vol = m.vol;
    out.opened = true;
    out.totalClusters = static_cast<uint64_t>(vol->nr_clusters);
    out.clusterSize = vol->cluster_size;

    // Owners of every cluster, from every attribute of every file record in use.
    std::vector<uint8_t> owners(out.totalClusters, 0);
    const uint64_t records = static_cast<uint64_t>(vol->mft_na->initialized_size) >> vol->mft_record_size_bits;
    for (uint64_t mft = 0; mft < records; ++mft) {
        Inode ni(vol, mft);
        if (!ni || !(ni->mrec->flags & MFT_RECORD_IN_USE) || ni->mrec->base_mft_record != 0) continue;
        ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni.get(), nullptr);
        if (!ctx) continue;
        while (ntfs_attrs_walk(ctx) == 0) {
            const ATTR_RECORD* a = ctx->attr;
            if (!a->non_resident) continue;
            runlist_element* rl = ntfs_mapping_pairs_decompress(vol, a, nullptr);
            if (!rl) {
                out.error = "unreadable run list in file record " + std::to_string(mft);
                continue;
            }
            for (const runlist_element* r = rl; r->length != 0; ++r) {
                if (r->lcn < 0) continue;
                for (int64_t c = r->lcn; c < r->lcn + r->length; ++c) {
                    if (static_cast<uint64_t>(c) >= out.totalClusters) {
                        ++out.doubleOwned;  // outside the volume: as wrong as owned twice
                        continue;
                    }
                    uint8_t& o = owners[static_cast<size_t>(c)];
                    if (o >= 1) ++out.doubleOwned;
                    if (o < 2) ++o;
                }
            }
            std::free(rl);
        }
        ntfs_attr_put_search_ctx(ctx);
    }
    std::vector<uint8_t> bitmap((out.totalClusters + 7) / 8);
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, static_cast<s64>(bitmap.size()), bitmap.data()) !=
        static_cast<s64>(bitmap.size())) {
        out.error = "cannot read the cluster bitmap";
        return out;
    }
    for (uint64_t c = 0; c < out.totalClusters; ++c) {
        const bool used = (bitmap[c >> 3] >> (c & 7)) & 1;
        if (used && owners[c] == 0) ++out.leaked;
        if (!used && owners[c] != 0) ++out.ownedButFree;
    }

    std::set<uint64_t> seen;
    walkTree(vol, FILE_root, "", withHashes, out, seen);
    return out;
}

}  // namespace ntfsvol
