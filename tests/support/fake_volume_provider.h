// A volume provider for tests: drives with a type and a label, set up by hand. Opening a volume
// fails as for a drive that cannot be opened; derive to hand out volumes.
#pragma once
#include <map>
#include <mutex>

#include "platform/dfrg_exception.h"
#include "volume/volume_provider.h"

class FakeVolumeProvider : public CVolumeProvider {
public:
    static constexpr uint32_t kDriveNoRootDir = 1;
    static constexpr uint32_t kDriveRemovable = 2;
    static constexpr uint32_t kDriveRemote = 4;
    static constexpr uint32_t kDriveCdRom = 5;

    // A drive whose label cannot be read when labelReadable is false.
    void addDrive(char letter, uint32_t type, const WString& label, bool labelReadable = true) {
        std::lock_guard<std::mutex> lock(lock_);
        drives_[upper(letter)] = Drive{type, label, labelReadable};
    }
    void removeDrive(char letter) {
        std::lock_guard<std::mutex> lock(lock_);
        drives_.erase(upper(letter));
    }

    uint32_t logicalDrives() override {
        std::lock_guard<std::mutex> lock(lock_);
        uint32_t mask = 0;
        for (const auto& d : drives_) mask |= 1u << (d.first - 'A');
        return mask;
    }
    uint32_t driveType(const WString& rootPath) override {
        std::lock_guard<std::mutex> lock(lock_);
        const Drive* d = find(rootPath);
        return d ? d->type : kDriveNoRootDir;
    }
    bool volumeLabel(const WString& rootPath, WString& label) override {
        std::lock_guard<std::mutex> lock(lock_);
        const Drive* d = find(rootPath);
        if (!d || !d->labelReadable) return false;
        label = d->label;
        return true;
    }
    std::unique_ptr<CDfrgVolume> openVolume(char) override {
        throw CDfrgException(ErrorVolumeUnavailable, "no volume in the fake provider");
    }

private:
    struct Drive {
        uint32_t type;
        WString label;
        bool labelReadable;
    };
    static char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
    // Root paths look like "C:\".
    const Drive* find(const WString& rootPath) const {
        if (rootPath.size() != 3 || rootPath[1] != u':' || rootPath[2] != u'\\' || rootPath[0] > 0x7F) return nullptr;
        auto it = drives_.find(upper(static_cast<char>(rootPath[0])));
        return it == drives_.end() ? nullptr : &it->second;
    }

    std::mutex lock_;
    std::map<char, Drive> drives_;
};
