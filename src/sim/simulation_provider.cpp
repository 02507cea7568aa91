// The simulated machine: every volume image (*.vimg) of a directory is a fixed drive, from C on
// in name order. An image stays open while any volume object of its letter exists.
#include "sim/simulation_provider.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/dfrg_exception.h"
#include "platform/process_paths.h"
#include "sim/simulated_user.h"
#include "sim/simulated_volume.h"
#include "sim/volume_image.h"
#include "volume/provider_selection.h"

namespace fs = std::filesystem;

namespace {

constexpr char kFirstLetter = 'C';

class SimulationProvider : public CVolumeProvider {
public:
    explicit SimulationProvider(const WString& directory) {
        const fs::path dir = fs::u8path(platform::nativePath(platform::utf16ToUtf8(directory)));
        std::vector<fs::path> images;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path& p = it->path();
            if (it->is_regular_file(ec) && platform::asciiLower(p.extension().u8string()) == ".vimg")
                images.push_back(p);
        }
        std::sort(images.begin(), images.end(),
                  [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
        char letter = kFirstLetter;
        for (const fs::path& p : images) {
            if (letter > 'Z') break;
            images_[letter++] = p;
        }
    }

    uint32_t logicalDrives() override {
        uint32_t mask = 0;
        for (const auto& entry : images_) mask |= 1u << (entry.first - 'A');
        return mask;
    }

    uint32_t driveType(const WString& rootPath) override {
        return find(rootPath) ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
    }

    bool volumeLabel(const WString& rootPath, WString& label) override {
        const fs::path* image = find(rootPath);
        CMemoryVolume::Geometry geometry;
        if (!image || !CVolumeImage::readGeometry(*image, geometry)) return false;
        label = geometry.label;
        return true;
    }

    std::unique_ptr<CDfrgVolume> openVolume(char driveLetter) override {
        const char letter = static_cast<char>(driveLetter >= 'a' && driveLetter <= 'z' ? driveLetter - 32 : driveLetter);
        const std::string device = std::string("\\\\.\\") + letter + ":";
        auto it = images_.find(letter);
        if (it == images_.end()) throw CDfrgException(ErrorVolumeUnavailable, "Couldn't open Volume ! " + device);
        std::shared_ptr<CVolumeImage> image;
        {
            std::lock_guard<std::mutex> guard(*lock_);
            image = open_[letter].lock();
            if (!image) {
                std::string error;
                std::shared_ptr<CVolumeImage> opened = CVolumeImage::open(it->second, static_cast<char16_t>(letter), error);
                if (!opened) throw CDfrgException(ErrorVolumeUnavailable, "Couldn't open Volume ! " + device + " " + error);
                // Closing an image rewrites its file; an open of the same image waits for that.
                std::shared_ptr<std::mutex> lock = lock_;
                std::shared_ptr<CSimulatedUser> user;
                if (CSimulatedUser::enabled()) user = std::make_shared<CSimulatedUser>(opened->volume());
                image = std::shared_ptr<CVolumeImage>(opened.get(), [lock, opened, user](CVolumeImage*) mutable {
                    user.reset();
                    std::lock_guard<std::mutex> closing(*lock);
                    opened.reset();
                });
                open_[letter] = image;
            }
        }
        return std::make_unique<CSimulatedVolume>(image->volume(), image);
    }

private:
    const fs::path* find(const WString& rootPath) const {
        if (rootPath.empty()) return nullptr;
        char16_t c = rootPath[0];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        if (c < u'A' || c > u'Z') return nullptr;
        auto it = images_.find(static_cast<char>(c));
        return it == images_.end() ? nullptr : &it->second;
    }

    std::map<char, fs::path> images_;
    std::shared_ptr<std::mutex> lock_ = std::make_shared<std::mutex>();
    std::map<char, std::weak_ptr<CVolumeImage>> open_;
};

}  // namespace

std::shared_ptr<CVolumeProvider> makeSimulationVolumeProvider(const WString& directory) {
    return std::make_shared<SimulationProvider>(directory);
}

void useSimulationImages() { registerSimulationProvider(&makeSimulationVolumeProvider); }
