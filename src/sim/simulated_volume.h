// The volume interface over a memory volume: the same construction steps as a real volume
// (device open with retries, label, type, geometry), every call answered by the memory volume.
#pragma once
#include <memory>

#include "platform/unique_resource.h"
#include "volume/dfrg_volume_common.h"
#include "sim/memory_volume.h"

class CSimulatedVolume : public CDfrgVolumeCommon {
public:
    // Opens the memory volume's device as a real volume is opened; throws
    // CDfrgException(ErrorVolumeUnavailable) when it cannot be used. `keepAlive` is held for
    // the life of this object (the image the memory volume came from).
    explicit CSimulatedVolume(std::shared_ptr<CMemoryVolume> volume, std::shared_ptr<void> keepAlive = nullptr,
                              RetryPause pause = defaultRetryPause());
    ~CSimulatedVolume() override;

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
    BOOL querySeekPenalty(bool& incursSeekPenalty) override;
    HANDLE findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) override;
    BOOL findNextFile(HANDLE find, WIN32_FIND_DATAW* data) override;
    BOOL findClose(HANDLE find) override;
    std::unique_ptr<CVolumeChangeFeed> openChangeFeed() override;

    CMemoryVolume& memoryVolume() { return *volume_; }

    static RetryPause defaultRetryPause();

protected:
    void adoptDeviceHandle(HANDLE device) override;
    BOOL queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) override;

private:
    // A device control, answered as the memory volume's faults say.
    BOOL control(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* bytesReturned);

    struct DeviceTraits {
        struct Type {
            CMemoryVolume* volume;
            HANDLE handle;
        };
        static Type invalid() { return {nullptr, INVALID_HANDLE_VALUE}; }
        static bool isValid(Type t) { return t.volume && t.handle != INVALID_HANDLE_VALUE; }
        static void close(Type t) { t.volume->closeHandle(t.handle); }
    };

    std::shared_ptr<CMemoryVolume> volume_;
    std::shared_ptr<void> keepAlive_;
    platform::UniqueResource<DeviceTraits> device_;
};
