#include "ntfs_test_image.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "ntfs/ntfs_access.h"

using namespace ntfsvol;

namespace {

struct Mounted {
    ntfs_volume* vol = nullptr;
    ~Mounted() {
        if (vol) ntfs_umount(vol, FALSE);
    }
};

std::vector<ntfschar> toName(const WString& text) {
    std::vector<ntfschar> out;
    for (char16_t c : text) out.push_back(cpu_to_le16(static_cast<uint16_t>(c)));
    return out;
}

bool runMkntfs(const std::string& path, const NtfsImageRecipe& r) {
    const std::string cluster = std::to_string(r.clusterSize), sectors = std::to_string(r.sectors);
    std::vector<const char*> argv{"mkntfs", "-F", "-f", "-q", "-L", "Aged", "-c", cluster.c_str(), path.c_str()};
    if (r.sectors) argv.push_back(sectors.c_str());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execvp("mkntfs", const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A file being written: its inode and data stream stay open between the pieces.
struct Writing {
    ntfs_inode* ni = nullptr;
    ntfs_attr* na = nullptr;
    s64 written = 0;
    s64 size = 0;
    uint64_t seed = 0;
    bool compressible = false;
};

class Ager {
public:
    Ager(ntfs_volume* vol, const NtfsImageRecipe& r) : vol_(vol), r_(r), rng_(r.seed) {}

    uint64_t makeDirectory(uint64_t parent, const WString& name, bool compressed = false) {
        Inode dir(vol_, parent);
        std::vector<ntfschar> n = toName(name);
        ntfs_inode* ni = ntfs_create(dir.get(), 0, n.data(), static_cast<u8>(n.size()), S_IFDIR);
        if (!ni) return 0;
        const uint64_t mft = ni->mft_no;
        if (compressed) {
            ni->flags = static_cast<FILE_ATTR_FLAGS>(ni->flags | FILE_ATTR_COMPRESSED);
            ntfs_inode_mark_dirty(ni);
        }
        ntfs_inode_close(ni);
        return mft;
    }

    bool start(Writing& w, uint64_t dir, const WString& name, s64 size, bool compressible = false) {
        Inode d(vol_, dir);
        std::vector<ntfschar> n = toName(name);
        w.ni = ntfs_create(d.get(), 0, n.data(), static_cast<u8>(n.size()), S_IFREG);
        if (!w.ni) return false;
        w.na = ntfs_attr_open(w.ni, AT_DATA, AT_UNNAMED, 0);
        w.size = size;
        w.written = 0;
        w.seed = rng_();
        w.compressible = compressible;
        return w.na != nullptr;
    }

    // Writes the next `bytes` of the file (its content a function of its seed and position).
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

    void finish(Writing& w) {
        if (w.na) ntfs_attr_close(w.na);
        if (w.ni) ntfs_inode_close(w.ni);
        w = Writing();
    }

    bool whole(uint64_t dir, const WString& name, s64 size, uint64_t* mft = nullptr) {
        Writing w;
        if (!start(w, dir, name, size)) return false;
        if (mft) *mft = w.ni->mft_no;
        bool ok = piece(w, size);
        finish(w);
        return ok;
    }

    // Files written a few clusters at a time, in turn, so that they interleave on disk.
    bool interleaved(uint64_t dir, const WString& stem, int count, bool compressible, std::vector<uint64_t>* mfts) {
        std::vector<Writing> ws(static_cast<size_t>(count));
        const s64 cluster = vol_->cluster_size;
        for (int i = 0; i < count; ++i) {
            const s64 clusters = 2 + static_cast<s64>(rng_() % r_.largestFile);
            if (!start(ws[static_cast<size_t>(i)], dir, stem + platform::utf8ToUtf16(std::to_string(i)),
                       clusters * cluster - static_cast<s64>(rng_() % 4000), compressible))
                return false;
            if (mfts) mfts->push_back(ws[static_cast<size_t>(i)].ni->mft_no);
        }
        bool ok = true, more = true;
        while (ok && more) {
            more = false;
            for (Writing& w : ws) {
                if (w.written >= w.size) continue;
                ok = ok && piece(w, (1 + static_cast<s64>(rng_() % 4)) * cluster);
                more = true;
            }
        }
        for (Writing& w : ws) finish(w);
        return ok;
    }

    bool remove(uint64_t dir, const WString& name, uint64_t mft) {
        ntfs_inode* d = ntfs_inode_open(vol_, dir);
        ntfs_inode* ni = ntfs_inode_open(vol_, mft);
        if (!d || !ni) {
            if (d) ntfs_inode_close(d);
            if (ni) ntfs_inode_close(ni);
            return false;
        }
        std::vector<ntfschar> n = toName(name);
        // Closes both inodes whatever it returns.
        return ntfs_delete(vol_, nullptr, ni, d, n.data(), static_cast<u8>(n.size())) == 0;
    }

    double used() {
        return 1.0 - static_cast<double>(vol_->free_clusters) / static_cast<double>(vol_->nr_clusters);
    }

    std::mt19937_64& rng() { return rng_; }

private:
    ntfs_volume* vol_;
    const NtfsImageRecipe& r_;
    std::mt19937_64 rng_;
};

}  // namespace

bool makeAgedNtfsImage(const std::string& path, const NtfsImageRecipe& r, std::string& error) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    // With a sector count the file ends where the file system does, so that its last sector
    // holds the alternate boot sector as on a partition.
    const uint64_t bytes = r.sectors ? r.sectors * 512 : r.bytes;
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
        error = "cannot make " + path;
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    if (!runMkntfs(path, r)) {
        error = "mkntfs failed on " + path;
        return false;
    }
    Mounted m;
    m.vol = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    if (!m.vol) {
        error = "cannot mount the new image";
        return false;
    }
    ntfs_volume* vol = m.vol;
    NVolSetCompression(vol);
    ntfs_volume_get_free_space(vol);
    Ager a(vol, r);
    const uint64_t docs = a.makeDirectory(FILE_root, u"docs");
    const uint64_t media = a.makeDirectory(FILE_root, u"media");
    const uint64_t deep = a.makeDirectory(a.makeDirectory(a.makeDirectory(FILE_root, u"deep"), u"er"), u"still");
    const uint64_t fill = a.makeDirectory(FILE_root, u"fill");
    if (!docs || !media || !deep || !fill) {
        error = "cannot make the directories";
        return false;
    }

    // Fill with small files, then punch holes into the filled part.
    struct Filler {
        WString name;
        uint64_t mft;
    };
    std::vector<Filler> fillers;
    const double fillTo = std::min(r.fullness + 0.05, 0.985);
    const s64 cluster = vol->cluster_size;
    for (int i = 0; a.used() < fillTo; ++i) {
        Filler f{u"f" + platform::utf8ToUtf16(std::to_string(i)), 0};
        const s64 size = (1 + static_cast<s64>(a.rng()() % 24)) * cluster;
        if (!a.whole(fill, f.name, size, &f.mft)) break;  // full
        fillers.push_back(f);
    }
    for (size_t i = 0; i < fillers.size(); ++i)
        if (a.rng()() % 3 == 0 && !a.remove(fill, fillers[i].name, fillers[i].mft)) {
            error = "cannot delete a filler";
            return false;
        }

    std::vector<uint64_t> fragmented;
    if (r.specials) {
        Writing w;
        // Resident, sparse, long-named, non-ASCII-named and compressed files, and a hard link.
        bool ok = a.whole(docs, u"tiny.txt", 200);
        ok = ok && a.start(w, media, u"sparse.img", 4 * 1024 * 1024) && a.piece(w, 64 * 1024, 0) &&
             a.piece(w, 64 * 1024, 3 * 1024 * 1024);
        a.finish(w);
        ok = ok && a.interleaved(deep, WString(240, u'L'), 2, false, &fragmented);
        const uint64_t unicode = a.makeDirectory(FILE_root, u"Ünïcødé-目录");
        ok = ok && a.interleaved(unicode, u"größe-ファイル-", 3, false, &fragmented);
        const uint64_t packed = a.makeDirectory(FILE_root, u"packed", true);
        ok = ok && packed && a.interleaved(packed, u"squeezed", 3, true, nullptr);
        if (ok && !fragmented.empty()) {
            Inode target(vol, fragmented[0]);
            Inode dir(vol, docs);
            std::vector<ntfschar> n = toName(u"hard-link.bin");
            ok = target && dir && ntfs_link(target.get(), dir.get(), n.data(), static_cast<u8>(n.size())) == 0;
        }
        if (!ok) {
            error = "cannot write the special files";
            return false;
        }
    }
    for (int group = 0; a.used() < r.fullness; ++group) {
        const uint64_t dir = group % 2 ? docs : media;
        if (!a.interleaved(dir, u"g" + platform::utf8ToUtf16(std::to_string(group)) + u"-", 3, false, nullptr)) break;
    }
    if (ntfs_umount(vol, FALSE) != 0) {
        m.vol = nullptr;
        error = "cannot close the image";
        return false;
    }
    m.vol = nullptr;
    return true;
}

bool copyOfAgedNtfsImage(const std::string& path, std::string& error) {
    struct Shared {
        std::string path =
            (std::filesystem::temp_directory_path() / ("vds-ntfs-aged-" + std::to_string(getpid()) + ".img")).string();
        std::string error;
        bool made = makeAgedNtfsImage(path, recipe(), error);
        static NtfsImageRecipe recipe() {
            NtfsImageRecipe r;
            r.bytes = 16ull << 20;
            r.largestFile = 128;
            return r;
        }
        ~Shared() { ::unlink(path.c_str()); }
    };
    static Shared shared;
    error = shared.error;
    std::error_code failed;
    const auto replace = std::filesystem::copy_options::overwrite_existing;
    return shared.made && std::filesystem::copy_file(shared.path, path, replace, failed);
}

bool markNtfsDirty(const std::string& path) {
    Mounted m;
    m.vol = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    return m.vol && ntfs_volume_write_flags(m.vol, m.vol->flags | VOLUME_IS_DIRTY) == 0;
}

bool addHibernationFile(const std::string& path) {
    Mounted m;
    m.vol = ntfs_mount(path.c_str(), NTFS_MNT_NONE);
    if (!m.vol) return false;
    NtfsImageRecipe r;
    Ager a(m.vol, r);
    Writing w;
    bool ok = a.start(w, FILE_root, u"hiberfil.sys", 8192);
    if (ok) {
        std::vector<uint8_t> data(8192, 0);
        std::memcpy(data.data(), "hibr", 4);
        ok = ntfs_attr_pwrite(w.na, 0, 8192, data.data()) == 8192;
    }
    a.finish(w);
    return ok;
}
