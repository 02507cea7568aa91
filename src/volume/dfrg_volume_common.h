// What every volume implementation shares: opening the volume device, learning the file-system
// kind and the cluster geometry, and reading the whole bitmap. An implementation only supplies
// the pass-through calls; its most derived constructor calls open() once it can serve them.
#pragma once
#include <functional>

#include "volume/dfrg_volume.h"

// The engine builds plain "X:\..." paths; the "\\?\" form lifts the 260-character limit of the
// file calls, so every volume hands the system that form. Device paths ("\\.\X:") and paths
// already in that form pass unchanged.
WString longPath(const WString& path);

class CDfrgVolumeCommon : public CDfrgVolume {
public:
    WString volumeLabel() const override { return label_; }
    uint64_t totalClusters() const override { return totalClusters_; }
    uint32_t bytesPerCluster() const override { return bytesPerCluster_; }
    FileSystemType fileSystemType() const override { return fileSystemType_; }
    char16_t driveLetter() const override { return driveLetter_; }
    bool readWholeBitmap(std::unique_ptr<uint8_t[]>& out) override;

    // "C:\" and "\\.\C:" for drive C.
    const WString& rootPath() const { return rootPath_; }
    const WString& devicePath() const { return devicePath_; }

    // Used between failed attempts to open the device; tests replace the sleep.
    using RetryPause = std::function<void(uint32_t ms)>;

protected:
    CDfrgVolumeCommon(char16_t driveLetter, RetryPause pause);

    // Opens the device and reads the file-system facts. Throws CDfrgException(-1) when the
    // volume cannot be used.
    void open();
    // The two halves of open(): the device with its retries, then label, type and geometry.
    void openDevice();
    void readFileSystemFacts();

    // Takes ownership of the opened device handle.
    virtual void adoptDeviceHandle(HANDLE device) = 0;
    // FSCTL_GET_NTFS_VOLUME_DATA on the device handle.
    virtual BOOL queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) = 0;

private:
    char16_t driveLetter_;
    WString rootPath_;
    WString label_;
    WString devicePath_;
    FileSystemType fileSystemType_ = FileSystemType::Unknown;
    uint64_t totalClusters_ = 0;
    uint32_t bytesPerCluster_ = 0;
    RetryPause pause_;
};

// The type named by a file-system name: "NTFS", else "FAT32", else "FAT", else unknown.
CDfrgVolume::FileSystemType detectFileSystemType(const WString& fileSystemName);
