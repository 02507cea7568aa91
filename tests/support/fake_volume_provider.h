// The volume provider of the tests: drives set up by hand, fixed ones backed by memory volumes.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dfrg_exception.h"
#include "sim/memory_volume.h"
#include "sim/simulated_volume.h"
#include "volume/volume_provider.h"

class FakeVolumeProvider : public CVolumeProvider {
public:
    static constexpr uint32_t kDriveRemote = 4, kDriveCdRom = 5;

    // A drive whose label cannot be read when labelReadable is false; opening it fails.
    void addDrive(char letter, uint32_t type, const WString& label, bool labelReadable = true) {
        std::lock_guard<std::mutex> lock(lock_);
        drives_[letter & ~0x20] = Drive{type, label, labelReadable, nullptr};
    }
    // A fixed drive backed by `volume` (which takes the letter).
    void add(char letter, std::shared_ptr<CMemoryVolume> volume) {
        volume->setDriveLetter(static_cast<char16_t>(letter));
        addDrive(letter, kDriveFixed, volume->geometry().label);
        std::lock_guard<std::mutex> lock(lock_);
        drives_[letter & ~0x20].volume = std::move(volume);
    }
    // A fixed drive that is listed but cannot be opened.
    void failOpening(char letter) { addDrive(letter, kDriveFixed, WString(), false); }

    uint32_t logicalDrives() override {
        std::lock_guard<std::mutex> lock(lock_);
        uint32_t mask = 0;
        for (const auto& d : drives_) mask |= 1u << (d.first - 'A');
        return mask;
    }
    uint32_t driveType(const WString& rootPath) override {
        std::lock_guard<std::mutex> lock(lock_);
        const Drive* d = find(rootPath);
        return d ? d->type : 1;  // no root directory
    }
    bool volumeLabel(const WString& rootPath, WString& label) override {
        std::lock_guard<std::mutex> lock(lock_);
        const Drive* d = find(rootPath);
        if (d && d->labelReadable) label = d->label;
        return d && d->labelReadable;
    }
    std::unique_ptr<CDfrgVolume> openVolume(char letter) override {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = drives_.find(letter & ~0x20);
        std::shared_ptr<CMemoryVolume> volume = it == drives_.end() ? nullptr : it->second.volume;
        if (!volume) throw CDfrgException(ErrorVolumeUnavailable, std::string("Couldn't open Volume ! \\\\.\\") + letter + ":");
        return std::make_unique<CSimulatedVolume>(volume, nullptr, [](uint32_t) {});
    }

private:
    struct Drive {
        uint32_t type;
        WString label;
        bool labelReadable;
        std::shared_ptr<CMemoryVolume> volume;
    };
    const Drive* find(const WString& rootPath) const {
        if (rootPath.size() != 3 || rootPath[1] != u':' || rootPath[2] != u'\\' || rootPath[0] > 0x7F) return nullptr;
        auto it = drives_.find(static_cast<char>(rootPath[0] & ~0x20));
        return it == drives_.end() ? nullptr : &it->second;
    }

    std::mutex lock_;
    std::map<char, Drive> drives_;
};
