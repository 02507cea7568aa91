#include "sim/image_synthesis.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Portable draws from a seeded generator (the standard distributions differ between libraries).
class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}
    double uniform() { return static_cast<double>(engine_() >> 11) * (1.0 / 9007199254740992.0); }
    uint64_t below(uint64_t n) { return n ? engine_() % n : 0; }
    double normal() {
        double u1 = uniform(), u2 = uniform();
        if (u1 < 1e-300) u1 = 1e-300;
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2 * kPi * u2);
    }

private:
    std::mt19937_64 engine_;
};

// File sizes in bytes: a log-normal body around a few KiB with a second, rarer mode of large
// media and archive files, and some empty files.
// `scale` stretches the large mode only, so that the fullness asked for does not change the
// shape of the small files.
double rawSize(Random& r, double scale) {
    const double pick = r.uniform();
    if (pick < 0.04) return 0;
    if (pick < 0.97) return std::pow(2.0, std::min(std::max(12.0 + 2.8 * r.normal(), 0.0), 30.0));
    return scale * std::pow(2.0, std::min(std::max(22.0 + 2.0 * r.normal(), 10.0), 36.0));
}

const char16_t* const kExtensions[] = {u".txt", u".doc", u".jpg", u".dll", u".exe", u".dat",
                                       u".log", u".pdf", u".mp3", u".zip", u".ini", u".png"};

// Files and folders are kept by id: a million path lookups would cost more than the rest.
struct LiveFile {
    uint32_t id;
    bool growable;
};

struct Folder {
    uint32_t id;
    uint32_t depth;
};

class Synthesizer {
public:
    Synthesizer(const CImageParameters& p, std::shared_ptr<CMemoryVolume> volume)
        : p_(p), volume_(std::move(volume)), random_(p.seed) {
        total_ = volume_->geometry().totalClusters;
        target_ = static_cast<uint64_t>(p_.fullness * static_cast<double>(total_));
    }

    bool run(std::string& error) {
        makeDirectories();
        // Scale the size distribution so that the file population fills the volume as asked.
        double small = 0, large = 0;
        Random probe(p_.seed ^ 0xA5A5A5A5ull);
        for (uint32_t i = 0; i < p_.fileCount; ++i) {
            const double size = rawSize(probe, 1.0);
            (size >= 1024.0 * 1024.0 ? large : small) += size + p_.bytesPerCluster / 2.0;
        }
        const double wanted = 0.85 * static_cast<double>(target_) * p_.bytesPerCluster;
        scale_ = large > 0 ? std::min(std::max((wanted - small) / large, 0.01), 1000.0) : 1.0;

        for (uint32_t i = 0; i < p_.fileCount * 8 / 10; ++i) createFile();
        const uint64_t operations = static_cast<uint64_t>(p_.churn * p_.fileCount);
        for (uint64_t i = 0; i < operations; ++i) {
            const uint64_t used = total_ - volume_->freeClusters();
            const double r = random_.uniform();
            if (used > target_ + target_ / 50 || (files_.size() > p_.fileCount * 11 / 10 && r < 0.5)) {
                deleteFile();
            } else if (used < target_ - target_ / 20) {
                if (r < 0.6) createFile();
                else appendFile();
            } else if (r < 0.35) {
                createFile();
            } else if (r < 0.7) {
                appendFile();
            } else {
                deleteFile();
            }
        }
        while (files_.size() > p_.fileCount) deleteFile();
        while (files_.size() < p_.fileCount) {
            if (!createFile()) {
                error = "the volume is too small for the files";
                return false;
            }
        }
        // Top up to the asked fullness by growing files, as time does.
        for (uint64_t tries = 0; tries < 4ull * p_.fileCount && total_ - volume_->freeClusters() < target_ - target_ / 50;
             ++tries)
            appendFile();
        return true;
    }

private:
    void makeDirectories() {
        dirs_.push_back({CMemoryVolume::kRootId, 0});
        const uint32_t width = std::max<uint32_t>(1, p_.directoryWidth);
        const size_t count = std::max<size_t>(1, p_.fileCount / width);
        for (size_t i = 1; i < count; ++i) {
            // Half the time below one of the newest folders (deep chains), else anywhere.
            size_t parent = random_.uniform() < 0.5 ? dirs_.size() - 1 - random_.below(std::min<size_t>(10, dirs_.size()))
                                                     : random_.below(dirs_.size());
            if (dirs_[parent].depth >= p_.directoryDepth) parent = random_.below(dirs_.size());
            if (dirs_[parent].depth >= p_.directoryDepth) parent = 0;
            const WString name = u"Folder" + platform::utf8ToUtf16(std::to_string(i));
            const uint32_t id = volume_->createById(dirs_[parent].id, name, FILE_ATTRIBUTE_DIRECTORY);
            if (id != CMemoryVolume::kNoFile) dirs_.push_back({id, dirs_[parent].depth + 1});
        }
    }

    uint64_t sampleSize() { return static_cast<uint64_t>(rawSize(random_, scale_)); }

    bool createFile() {
        // Folders are not equally full: the earlier (and higher) ones get more files.
        const double u = random_.uniform();
        const uint32_t dir = dirs_[static_cast<size_t>(u * u * static_cast<double>(dirs_.size()))].id;
        const WString name = u"File" + platform::utf8ToUtf16(std::to_string(nextName_++)) +
                             kExtensions[random_.below(sizeof kExtensions / sizeof kExtensions[0])];
        DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
        const double kind = random_.uniform();
        bool growable = true;
        if (kind < 0.03) attributes |= FILE_ATTRIBUTE_COMPRESSED;
        else if (kind < 0.04) attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
        else if (kind < 0.05) attributes |= FILE_ATTRIBUTE_ENCRYPTED;
        else if (kind < 0.055) {
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            growable = false;
        } else if (kind < 0.07) attributes |= FILE_ATTRIBUTE_HIDDEN;
        const uint32_t id = volume_->createById(dir, name, attributes);
        if (id == CMemoryVolume::kNoFile) return false;
        if (growable) {
            uint64_t size = sampleSize();
            if (size > 0 && !volume_->appendById(id, size)) {
                // Too little room left for this size: settle for a small file.
                volume_->appendById(id, std::min<uint64_t>(size, p_.bytesPerCluster));
            }
        }
        files_.push_back({id, growable});
        return true;
    }

    void appendFile() {
        if (files_.empty()) return;
        // A few files (logs, mail boxes) take most appends and end up in many pieces.
        const size_t n = files_.size();
        size_t i = random_.uniform() < 0.4 ? random_.below(std::max<size_t>(1, n / 50)) : random_.below(n);
        const LiveFile& f = files_[i];
        if (!f.growable) return;
        uint64_t grow = std::max<uint64_t>(static_cast<uint64_t>(static_cast<double>(sampleSize()) * 0.3),
                                           p_.bytesPerCluster);
        volume_->appendById(f.id, grow);
    }

    void deleteFile() {
        if (files_.empty()) return;
        size_t i = random_.below(files_.size());
        volume_->deleteById(files_[i].id);
        files_[i] = files_.back();
        files_.pop_back();
    }

    const CImageParameters& p_;
    std::shared_ptr<CMemoryVolume> volume_;
    Random random_;
    uint64_t total_ = 0;
    uint64_t target_ = 0;
    double scale_ = 1.0;
    uint64_t nextName_ = 1;
    std::vector<Folder> dirs_;
    std::vector<LiveFile> files_;
};

}  // namespace

std::shared_ptr<CMemoryVolume> synthesizeVolume(const CImageParameters& p, std::string& error) {
    if (p.bytesPerCluster < 512 || (p.bytesPerCluster & (p.bytesPerCluster - 1)) != 0) {
        error = "the cluster size must be a power of two of at least 512";
        return nullptr;
    }
    const uint64_t clusters = p.volumeBytes / p.bytesPerCluster;
    if (clusters < 1024 || clusters > (1ull << 36)) {
        error = "the volume must have between 1024 and 2^36 clusters";
        return nullptr;
    }
    if (!(p.fullness > 0.0 && p.fullness < 0.98) || !(p.churn >= 0.0 && p.churn <= 100.0)) {
        error = "fullness must lie between 0 and 0.98, churn between 0 and 100";
        return nullptr;
    }
    CMemoryVolume::Geometry geometry;
    geometry.totalClusters = clusters;
    geometry.bytesPerCluster = p.bytesPerCluster;
    geometry.label = p.label;
    geometry.solidState = p.solidState;
    geometry.serialNumber = static_cast<uint32_t>(p.seed * 2654435761u) | 1u;
    auto volume = std::make_shared<CMemoryVolume>(geometry);
    Synthesizer s(p, volume);
    if (!s.run(error)) return nullptr;
    return volume;
}
