#include "ntfs_test_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "ntfs/ntfs_access.h"

using namespace ntfsvol;

namespace {

std::vector<ntfschar> toName(const WString& text) {
    std::vector<ntfschar> out;
    for (char16_t c : text) out.push_back(cpu_to_le16(static_cast<uint16_t>(c)));
    return out;
}

bool fail(std::string& error, const std::string& why) {
    error = why;
    return false;
}

WString numbered(const WString& stem, uint64_t i) { return stem + platform::utf8ToUtf16(std::to_string(i)); }

// A file being written: its inode and data stream stay open between the pieces.
struct Writing {
    ntfs_inode* ni = nullptr;
    ntfs_attr* na = nullptr;
    s64 written = 0, size = 0;
    uint64_t seed = 0;
    bool compressible = false;
};

class Ager {
public:
    Ager(ntfs_volume* vol, const NtfsImageRecipe& r) : rng(r.seed), vol_(vol), r_(r) {}

    uint64_t create(uint64_t parent, const WString& name, mode_t type, Writing* w = nullptr, bool packed = false) {
        Inode dir(vol_, parent);
        std::vector<ntfschar> n = toName(name);
        ntfs_inode* ni = dir ? ntfs_create(dir.get(), 0, n.data(), static_cast<u8>(n.size()), type) : nullptr;
        if (!ni) return 0;
        const uint64_t mft = ni->mft_no;
        if (packed) {
            ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
            ntfs_inode_mark_dirty(ni);
        }
        if (!w) {
            ntfs_inode_close(ni);
        } else {
            *w = Writing{ni, ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0), 0, 0, rng(), false};
            if (!w->na) return 0;
        }
        return mft;
    }

    // Writes `bytes` of the file at `at` (its content a function of its seed and position).
    bool piece(Writing& w, s64 bytes, s64 at = -1) {
        if (at < 0) at = w.written;
        bytes = std::min(bytes, w.size - at);
        if (bytes <= 0) return true;
        std::vector<uint8_t> data(static_cast<size_t>(bytes));
        std::mt19937_64 g(w.seed ^ static_cast<uint64_t>(at));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = w.compressible
                          ? static_cast<uint8_t>("velkaris "[(static_cast<size_t>(at) + i) % 9] ^ ((i >> 11) & 3))
                          : static_cast<uint8_t>(g());
        if (ntfs_attr_pwrite(w.na, at, bytes, data.data()) != bytes) return false;
        w.written = std::max(w.written, at + bytes);
        return true;
    }

    static void finish(Writing& w) {
        if (w.na) ntfs_attr_close(w.na);
        if (w.ni) ntfs_inode_close(w.ni);
        w = Writing();
    }

    uint64_t whole(uint64_t dir, const WString& name, s64 size) {
        Writing w;
        const uint64_t mft = create(dir, name, S_IFREG, &w);
        w.size = size;
        const bool ok = mft && piece(w, size);
        finish(w);
        return ok ? mft : 0;
    }

    // Files written a few clusters at a time, in turn, so that they interleave on disk.
    bool interleaved(uint64_t dir, const WString& stem, bool compressible, std::vector<uint64_t>* mfts = nullptr) {
        std::vector<Writing> ws(3);
        const s64 cluster = vol_->cluster_size;
        bool ok = dir != 0;
        for (size_t i = 0; ok && i < ws.size(); ++i) {
            const uint64_t mft = create(dir, numbered(stem, i), S_IFREG, &ws[i]);
            ws[i].size = (2 + static_cast<s64>(rng() % r_.largestFile)) * cluster - static_cast<s64>(rng() % 4000);
            ws[i].compressible = compressible;
            ok = mft != 0;
            if (ok && mfts) mfts->push_back(mft);
        }
        for (bool more = ok; ok && more;) {
            more = false;
            for (Writing& w : ws)
                if (w.written < w.size) {
                    ok = ok && piece(w, (1 + static_cast<s64>(rng() % 4)) * cluster);
                    more = true;
                }
        }
        for (Writing& w : ws) finish(w);
        return ok;
    }

    bool remove(uint64_t dir, const WString& name, uint64_t mft) {
        ntfs_inode* d = ntfs_inode_open(vol_, dir);
        ntfs_inode* ni = ntfs_inode_open(vol_, mft);
        std::vector<ntfschar> n = toName(name);
        // ntfs_delete closes both inodes whatever it returns.
        if (d && ni) return ntfs_delete(vol_, nullptr, ni, d, n.data(), static_cast<u8>(n.size())) == 0;
        if (d) ntfs_inode_close(d);
        if (ni) ntfs_inode_close(ni);
        return false;
    }

    double used() const {
        return 1.0 - static_cast<double>(vol_->free_clusters) / static_cast<double>(vol_->nr_clusters);
    }

    std::mt19937_64 rng;

private:
    ntfs_volume* vol_;
    const NtfsImageRecipe& r_;
};

bool age(ntfs_volume* vol, const NtfsImageRecipe& r, std::string& error) {
    NVolSetCompression(vol);
    ntfs_volume_get_free_space(vol);
    Ager a(vol, r);
    const uint64_t docs = a.create(FILE_root, u"docs", S_IFDIR), media = a.create(FILE_root, u"media", S_IFDIR);
    const uint64_t er = a.create(a.create(FILE_root, u"deep", S_IFDIR), u"er", S_IFDIR);
    const uint64_t deep = er ? a.create(er, u"still", S_IFDIR) : 0, fill = a.create(FILE_root, u"fill", S_IFDIR);
    if (!docs || !media || !deep || !fill) return fail(error, "cannot make the directories");

    // Fill with small files, then punch holes into the filled part.
    std::vector<uint64_t> fillers;
    while (a.used() < std::min(r.fullness + 0.05, 0.985)) {
        const uint64_t mft = a.whole(fill, numbered(u"f", fillers.size()), (1 + a.rng() % 24) * vol->cluster_size);
        if (!mft) break;  // full
        fillers.push_back(mft);
    }
    for (size_t i = 0; i < fillers.size(); ++i)
        if (a.rng() % 3 == 0 && !a.remove(fill, numbered(u"f", i), fillers[i]))
            return fail(error, "cannot delete a filler");

    std::vector<uint64_t> fragmented;
    Writing w;
    bool ok = a.whole(docs, u"tiny.txt", 200) && a.create(media, u"sparse.img", S_IFREG, &w);
    w.size = 4 * 1024 * 1024;
    ok = ok && a.piece(w, 64 * 1024, 0) && a.piece(w, 64 * 1024, 3 * 1024 * 1024);
    Ager::finish(w);
    ok = ok && a.interleaved(deep, WString(240, u'L'), false, &fragmented);
    ok = ok && a.interleaved(a.create(FILE_root, u"Ünïcødé-目录", S_IFDIR), u"größe-ファイル-", false, &fragmented);
    ok = ok && a.interleaved(a.create(FILE_root, u"packed", S_IFDIR, nullptr, true), u"squeezed", true);
    if (ok) {
        Inode target(vol, fragmented[0]), dir(vol, docs);
        std::vector<ntfschar> n = toName(u"hard-link.bin");
        ok = target && dir && ntfs_link(target.get(), dir.get(), n.data(), static_cast<u8>(n.size())) == 0;
    }
    if (!ok) return fail(error, "cannot write the special files");
    for (uint64_t group = 0; a.used() < r.fullness; ++group)
        if (!a.interleaved(group % 2 ? docs : media, numbered(u"g", group) + u"-", false)) break;
    return true;
}

}  // namespace

bool makeAgedNtfsImage(const std::string& path, const NtfsImageRecipe& r, std::string& error) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    // With a sector count the file ends where the file system does, so that its last sector
    // holds the alternate boot sector as on a partition.
    const uint64_t bytes = r.sectors ? r.sectors * 512 : r.bytes;
    const bool sized = fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    if (fd >= 0) ::close(fd);
    if (!sized) return fail(error, "cannot make " + path);
    const std::string sectors = r.sectors ? " " + std::to_string(r.sectors) : std::string();
    if (std::system(("mkntfs -F -f -q -L Aged -c 4096 '" + path + "'" + sectors + " >/dev/null 2>&1").c_str()) != 0)
        return fail(error, "mkntfs failed on " + path);
    ntfs_volume* vol = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    if (!vol) return fail(error, "cannot mount the new image");
    const bool aged = age(vol, r, error);
    if (ntfs_umount(vol, FALSE) != 0 && aged) error = "cannot close the image";
    return aged && error.empty();
}

bool markNtfsDirty(const std::string& path) {
    ntfs_volume* vol = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    return vol && ntfs_volume_write_flags(vol, vol->flags | VOLUME_IS_DIRTY) == 0 && ntfs_umount(vol, FALSE) == 0;
}

bool shareNtfsCluster(const std::string& path, uint64_t from, uint64_t to) {
    ntfs_volume* vol = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    if (!vol) return false;
    bool ok = false;
    {
        Inode a(vol, from), b(vol, to);
        Attr na(a.get(), AT_DATA, AT_UNNAMED, 0), nb(b.get(), AT_DATA, AT_UNNAMED, 0);
        if (na && nb && ntfs_attr_map_whole_runlist(na.get()) == 0 && ntfs_attr_map_whole_runlist(nb.get()) == 0) {
            const runlist_element* rl = nb->rl;
            std::vector<runlist_element> shared{{0, na->rl[0].lcn, 1}, {1, rl[0].lcn + 1, rl[0].length - 1}};
            if (rl[0].length == 1) shared.pop_back();
            do shared.push_back(*++rl);
            while (rl->length != 0);
            auto* copy = static_cast<runlist_element*>(std::malloc(shared.size() * sizeof(runlist_element)));
            std::copy(shared.begin(), shared.end(), copy);
            std::free(nb->rl);
            nb->rl = copy;
            ok = ntfs_attr_update_mapping_pairs(nb.get(), 0) == 0;
        }
    }
    return ntfs_umount(vol, FALSE) == 0 && ok;
}
