// The one volume provider of the tests: drives with a type and a label set up by hand, fixed
// drives backed by memory volumes (opened as simulated volumes), and drives whose opening fails as
// an unusable volume's does.
#pragma once
#include <map>
#include <memory>
#include <mutex>

#include "sim/memory_volume.h"
#include "volume/volume_provider.h"

class FakeVolumeProvider : public CVolumeProvider {
public:
    static constexpr uint32_t kDriveNoRootDir = 1;
    static constexpr uint32_t kDriveRemovable = 2;
    static constexpr uint32_t kDriveRemote = 4;
    static constexpr uint32_t kDriveCdRom = 5;

    // A drive whose label cannot be read when labelReadable is false; opening it fails.
    void addDrive(char letter, uint32_t type, const WString& label, bool labelReadable = true);
    void removeDrive(char letter);
    // A fixed drive backed by `volume` (which takes the letter).
    void add(char letter, std::shared_ptr<CMemoryVolume> volume);
    // A fixed drive that is listed but cannot be opened.
    void failOpening(char letter);

    uint32_t logicalDrives() override;
    uint32_t driveType(const WString& rootPath) override;
    bool volumeLabel(const WString& rootPath, WString& label) override;
    std::unique_ptr<CDfrgVolume> openVolume(char driveLetter) override;

private:
    struct Drive {
        uint32_t type = kDriveFixed;
        WString label;
        bool labelReadable = true;
        std::shared_ptr<CMemoryVolume> volume;
    };
    // Root paths look like "C:\".
    const Drive* find(const WString& rootPath);

    std::mutex lock_;
    std::map<char, Drive> drives_;
};
