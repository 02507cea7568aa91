// The volume interface on a real Windows volume: each call is the Windows function of the same
// name on the volume's root, its device handle or the handles it returns. Windows only.
#pragma once
#include "platform/handles_win.h"
#include "volume/dfrg_volume_common.h"

class CWindowsVolume : public CDfrgVolumeCommon {
public:
    // Opens \\.\X: and reads the file-system facts; throws CDfrgException(ErrorVolumeUnavailable)
    // when the volume cannot be used.
    explicit CWindowsVolume(char16_t driveLetter);
    ~CWindowsVolume() override;

    BOOL getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength, DWORD* flags,
                              WCHAR* fileSystemName, DWORD fileSystemNameSize) override;
    BOOL getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                          DWORD* totalClusters) override;
    HANDLE createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                      DWORD disposition, DWORD flags, HANDLE templateFile) override;
    BOOL closeHandle(HANDLE handle) override;
    BOOL getFileSize(HANDLE file, LARGE_INTEGER* size) override;
    DWORD getFileAttributes(const WString& path) override;
    BOOL getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                         DWORD* bytesReturned) override;
    BOOL moveFile(const MOVE_FILE_DATA& move) override;
    BOOL getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out, DWORD outSize,
                              DWORD* bytesReturned) override;
    HANDLE findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) override;
    BOOL findNextFile(HANDLE find, WIN32_FIND_DATAW* data) override;
    BOOL findClose(HANDLE find) override;
    // ReadDirectoryChangesW on the root, whole tree, file names and sizes.
    std::unique_ptr<CVolumeChangeFeed> openChangeFeed() override;
    BOOL querySeekPenalty(bool& incursSeekPenalty) override;

protected:
    struct DeviceOnly {};
    // Opens the device but learns nothing about the file system (for probing a volume whose
    // file-system controls fail).
    CWindowsVolume(char16_t driveLetter, DeviceOnly);

    void adoptDeviceHandle(HANDLE device) override;
    BOOL queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) override;

private:
    platform::UniqueFile device_;
};
