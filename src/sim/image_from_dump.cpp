// Files are re-created through the memory volume's change records (the records an image's
// journal holds) rather than its file calls: the calls grow a directory's index as entries are
// added, which would take clusters the dump gives to others.
#include "sim/image_from_dump.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <unordered_map>

#include "platform/dfrg_exception.h"
#include "sim/memory_volume_state.h"
#include "sim/volume_image.h"

namespace fs = std::filesystem;

const char16_t* const kReservedFilePrefix = u"$Reserved.";

namespace {

// Bounds of what a memory volume can hold (its cluster data takes 4 bytes per cluster).
constexpr uint64_t kMaxClusters = 1ull << 36;
constexpr size_t kMaxNameUnits = 255;
// Runs per hidden file that holds unlisted clusters.
constexpr size_t kRunsPerReservedFile = 4096;

struct NoCase {
    bool operator()(const WString& a, const WString& b) const { return platform::compareNoCase(a, b) < 0; }
};

WString fileSystemName(uint8_t type) {
    switch (type) {
    case volume_dump::kFileSystemNtfs: return u"NTFS";
    case volume_dump::kFileSystemFat: return u"FAT";
    case volume_dump::kFileSystemFat32: return u"FAT32";
    default: return u"UNKNOWN";
    }
}

// A path of the dump split into its components below the root; the drive part is dropped.
std::vector<WString> components(WString path) {
    if (path.size() >= 2 && path[1] == u':') path.erase(0, 2);
    std::vector<WString> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find_first_of(u"\\/", i);
        if (j == WString::npos) j = path.size();
        if (j > i) parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

class DumpRebuilder {
public:
    DumpRebuilder(const volume_dump::VolumeDumpVolume& dump, CMemoryVolume& volume, CImageFromDumpReport& report)
        : dump_(dump), volume_(volume), report_(report), total_(dump.header.totalClusters),
          bitmapClusters_(static_cast<uint64_t>(dump.bitmap.size()) * 8),
          taken_(static_cast<size_t>((total_ + 63) / 64), 0) {
        ids_.emplace(WString(), memvol::kRoot);
        directory_.push_back(true);  // the root
        hasRuns_.push_back(false);
    }

    void run() {
        for (size_t i = 0; i < dump_.entries.size(); ++i) place(dump_.entries[i], i);
        report_.clustersWithoutBit = total_ - std::min(total_, bitmapClusters_);
        for (uint64_t c = bitmapClusters_; c < total_; ++c) report_.claimedWithoutBit += taken(c);
        reserveUnlisted();
    }

private:
    // The bitmap of the dump; clusters past its last whole byte have no bit and count as in use
    // for whichever entry claims them first, and as held when none does.
    bool usedInDump(uint64_t c) const {
        if (c >= bitmapClusters_) return true;
        return (dump_.bitmap[static_cast<size_t>(c / 8)] >> (c % 8)) & 1u;
    }
    bool taken(uint64_t c) const { return (taken_[c >> 6] >> (c & 63)) & 1u; }
    void setTaken(uint64_t c, bool on) {
        if (on) taken_[c >> 6] |= 1ull << (c & 63);
        else taken_[c >> 6] &= ~(1ull << (c & 63));
    }

    bool create(uint32_t parent, const WString& name, bool directory, DWORD attributes, uint32_t& id) {
        if (name.size() > kMaxNameUnits) return false;
        std::vector<uint8_t> record;
        memvol::ByteWriter w(record);
        w.u8(memvol::kOpCreate);
        w.u32(parent);
        w.u8(directory ? 1 : 0);
        w.u32(attributes);
        w.text(name);
        if (!volume_.replay(record.data(), record.size())) return false;
        id = nextId_++;
        directory_.push_back(directory);
        hasRuns_.push_back(false);
        return true;
    }

    bool extend(uint32_t id, uint64_t size, const std::vector<CMemoryVolume::Run>& runs) {
        std::vector<uint8_t> record;
        memvol::ByteWriter w(record);
        w.u8(memvol::kOpExtend);
        w.u32(id);
        w.u64(size);
        w.u32(static_cast<uint32_t>(runs.size()));
        for (const CMemoryVolume::Run& r : runs) {
            w.u64(r.lcn);
            w.u64(r.length);
        }
        return volume_.replay(record.data(), record.size());
    }

    // The pieces of an entry's extents that the bitmap backs and nobody took yet, in file order;
    // they are marked taken.
    std::vector<CMemoryVolume::Run> claim(const volume_dump::VolumeDumpEntry& e, uint64_t& clusters) {
        std::vector<CMemoryVolume::Run> runs;
        clusters = 0;
        const volume_dump::VolumeDumpExtent* extents = dump_.extentsOf(e);
        for (size_t k = 0; k < e.extentCount; ++k) {
            const uint64_t end = std::min(extents[k].end, total_ - 1);
            for (uint64_t c = extents[k].start; c <= end && c < total_; ++c) {
                if (!usedInDump(c) || taken(c)) {
                    ++(taken(c) ? report_.sharedClusters : report_.droppedClusters);
                    continue;
                }
                setTaken(c, true);
                ++clusters;
                if (!runs.empty() && runs.back().lcn + runs.back().length == c) ++runs.back().length;
                else runs.push_back({c, 1});
            }
        }
        return runs;
    }

    void release(const std::vector<CMemoryVolume::Run>& runs) {
        for (const CMemoryVolume::Run& r : runs)
            for (uint64_t c = r.lcn; c < r.lcn + r.length; ++c) setTaken(c, false);
    }

    // Gives an entry its clusters; a directory's size is its allocation, a file's its clusters.
    bool giveClusters(uint32_t id, const volume_dump::VolumeDumpEntry& e) {
        uint64_t clusters = 0;
        std::vector<CMemoryVolume::Run> runs = claim(e, clusters);
        if (runs.empty()) return true;
        if (!extend(id, clusters * dump_.header.bytesPerCluster, runs)) {
            release(runs);
            report_.droppedClusters += clusters;
            return false;
        }
        hasRuns_[id] = true;
        return true;
    }

    // The earlier file whose runs are exactly this entry's, or kNoNode.
    uint32_t sameRunsAs(const volume_dump::VolumeDumpEntry& e) const {
        if (e.extentCount == 0) return memvol::kNoNode;
        auto it = byFirstCluster_.find(dump_.extentsOf(e)[0].start);
        if (it == byFirstCluster_.end()) return memvol::kNoNode;
        const volume_dump::VolumeDumpEntry& first = dump_.entries[it->second.second];
        if (first.extentCount != e.extentCount ||
            !std::equal(dump_.extentsOf(e), dump_.extentsOf(e) + e.extentCount, dump_.extentsOf(first)))
            return memvol::kNoNode;
        return it->second.first;
    }

    bool link(uint32_t id, uint32_t parent, const WString& name) {
        if (name.size() > kMaxNameUnits) return false;
        std::vector<uint8_t> record;
        memvol::ByteWriter w(record);
        w.u8(memvol::kOpLink);
        w.u32(id);
        w.u32(parent);
        w.text(name);
        return volume_.replay(record.data(), record.size());
    }

    // The id of a directory of the dump's tree, made (without clusters) when the dump did not
    // list it before its contents.
    bool directoryFor(const std::vector<WString>& parts, size_t count, uint32_t& id) {
        id = memvol::kRoot;
        WString key;
        for (size_t i = 0; i < count; ++i) {
            key += (i ? u"\\" : u"") + parts[i];
            auto it = ids_.find(key);
            if (it != ids_.end()) {
                if (!directory_[it->second]) return false;
                id = it->second;
                continue;
            }
            uint32_t made;
            if (!create(id, parts[i], true, 0, made)) return false;
            ids_.emplace(key, made);
            ++report_.directories;
            id = made;
        }
        return true;
    }

    void place(const volume_dump::VolumeDumpEntry& e, size_t index) {
        const bool directory = volume_dump::isDirectoryPath(e.path);
        const std::vector<WString> parts = components(e.path);
        if (parts.empty()) {
            // The root: its own clusters, once.
            if (!directory || hasRuns_[memvol::kRoot] || !giveClusters(memvol::kRoot, e)) ++report_.skippedEntries;
            return;
        }
        uint32_t parent;
        if (!directoryFor(parts, parts.size() - 1, parent)) {
            ++report_.skippedEntries;
            return;
        }
        WString key;
        for (size_t i = 0; i < parts.size(); ++i) key += (i ? u"\\" : u"") + parts[i];
        auto it = ids_.find(key);
        if (it != ids_.end()) {
            // A directory made for an earlier entry below it, listed now: it gets its clusters.
            // Anything else listed twice keeps what it got first.
            const uint32_t id = it->second;
            if (!directory || !directory_[id] || hasRuns_[id] || !giveClusters(id, e)) ++report_.skippedEntries;
            return;
        }
        if (!directory) {
            const uint32_t same = sameRunsAs(e);
            if (same != memvol::kNoNode) {
                if (link(same, parent, parts.back())) {
                    ids_.emplace(key, same);
                    ++report_.hardLinks;
                } else {
                    ++report_.skippedEntries;
                }
                return;
            }
        }
        uint32_t id;
        if (!create(parent, parts.back(), directory, directory ? 0 : FILE_ATTRIBUTE_ARCHIVE, id)) {
            ++report_.skippedEntries;
            return;
        }
        ids_.emplace(key, id);
        ++(directory ? report_.directories : report_.files);
        if (giveClusters(id, e) && !directory && hasRuns_[id] && e.extentCount)
            byFirstCluster_.emplace(dump_.extentsOf(e)[0].start, std::make_pair(id, index));
    }

    // Clusters in use that no entry holds go to hidden reparse-point files at the root.
    void reserveUnlisted() {
        std::vector<CMemoryVolume::Run> runs;
        uint64_t clusters = 0;
        uint32_t number = 0;
        auto flush = [&] {
            if (runs.empty()) return;
            WString name;
            do {
                name = WString(kReservedFilePrefix) + platform::utf8ToUtf16(std::to_string(++number));
            } while (ids_.count(name));
            uint32_t id;
            const DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
            if (create(memvol::kRoot, name, false, attributes, id) &&
                extend(id, clusters * dump_.header.bytesPerCluster, runs)) {
                ids_.emplace(name, id);
                ++report_.reservedFiles;
                report_.reservedClusters += clusters;
            }
            runs.clear();
            clusters = 0;
        };
        for (uint64_t c = 0; c < total_; ++c) {
            if (!usedInDump(c) || taken(c)) continue;
            if (!runs.empty() && runs.back().lcn + runs.back().length == c) {
                ++runs.back().length;
            } else {
                if (runs.size() == kRunsPerReservedFile) flush();
                runs.push_back({c, 1});
            }
            ++clusters;
        }
        flush();
    }

    const volume_dump::VolumeDumpVolume& dump_;
    CMemoryVolume& volume_;
    CImageFromDumpReport& report_;
    const uint64_t total_;
    const uint64_t bitmapClusters_;
    std::vector<uint64_t> taken_;
    std::map<WString, uint32_t, NoCase> ids_;  // path below the root -> file id
    std::vector<bool> directory_;               // by file id
    std::vector<bool> hasRuns_;                 // by file id
    // First cluster of a file's runs -> the file and its entry, to know hard links.
    std::unordered_map<uint64_t, std::pair<uint32_t, size_t>> byFirstCluster_;
    uint32_t nextId_ = memvol::kRoot + 1;
};

}  // namespace

std::shared_ptr<CMemoryVolume> volumeFromDump(const volume_dump::VolumeDumpVolume& dump, CImageFromDumpReport& report,
                                              std::string& error) {
    report = CImageFromDumpReport();
    const volume_dump::VolumeDumpHeader& h = dump.header;
    if (h.totalClusters == 0 || h.totalClusters > kMaxClusters) {
        error = "a volume of " + std::to_string(h.totalClusters) + " clusters cannot be simulated";
        return nullptr;
    }
    if (h.bytesPerCluster < 512 || (h.bytesPerCluster & (h.bytesPerCluster - 1)) != 0) {
        error = "a cluster size of " + std::to_string(h.bytesPerCluster) + " bytes cannot be simulated";
        return nullptr;
    }
    if (dump.bitmap.size() < h.totalClusters / 8) {
        error = "the bitmap is shorter than the volume";
        return nullptr;
    }
    CMemoryVolume::Geometry geometry;
    geometry.totalClusters = h.totalClusters;
    geometry.bytesPerCluster = h.bytesPerCluster;
    geometry.label = h.volumeName.substr(0, kMaxNameUnits);
    geometry.fileSystemName = fileSystemName(h.fileSystemType);
    char16_t letter = h.driveLetter;
    if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
    if (letter < u'A' || letter > u'Z') letter = u'C';
    auto volume = std::make_shared<CMemoryVolume>(geometry, letter);
    DumpRebuilder(dump, *volume, report).run();
    return volume;
}

bool imagesFromDump(const fs::path& dumpFile, const fs::path& directory, std::vector<CImageFromDump>& made,
                    std::string& error) {
    std::vector<volume_dump::VolumeDumpVolume> volumes;
    try {
        std::ifstream in(dumpFile, std::ios::binary);
        if (!in) {
            error = "cannot open " + dumpFile.u8string();
            return false;
        }
        volumes = volume_dump::readVolumeDump(in);
    } catch (const CDfrgException& e) {
        error = e.message();
        return false;
    }
    std::error_code ec;
    fs::create_directories(directory, ec);
    std::map<char16_t, int> seen;
    for (const volume_dump::VolumeDumpVolume& v : volumes) {
        CImageFromDump result;
        auto volume = volumeFromDump(v, result.report, error);
        if (!volume) return false;
        result.driveLetter = volume->driveLetter();
        const int n = ++seen[result.driveLetter];
        std::string name(1, static_cast<char>(result.driveLetter));
        if (n > 1) name += "-" + std::to_string(n);
        result.image = directory / (name + ".vimg");
        if (!CVolumeImage::create(result.image, *volume, error)) return false;
        made.push_back(std::move(result));
    }
    return true;
}
