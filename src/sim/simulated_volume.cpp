#include "sim/simulated_volume.h"

#include "platform/clock.h"
#include "volume/volume_change_feed.h"

CSimulatedVolume::CSimulatedVolume(std::shared_ptr<CMemoryVolume> volume, std::shared_ptr<void> keepAlive,
                                   RetryPause pause)
    : CDfrgVolumeCommon(volume->driveLetter(), std::move(pause)),
      volume_(std::move(volume)),
      keepAlive_(std::move(keepAlive)) {
    open();
}

CSimulatedVolume::~CSimulatedVolume() = default;

CDfrgVolumeCommon::RetryPause CSimulatedVolume::defaultRetryPause() {
    return [](uint32_t ms) { platform::sleepMs(ms); };
}

void CSimulatedVolume::adoptDeviceHandle(HANDLE device) { device_.reset({volume_.get(), device}); }

BOOL CSimulatedVolume::control(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                                DWORD* bytesReturned) {
    const CMemoryVolume::ControlAnswer answer = volume_->controlAnswer(code);
    if (answer) return answer(handle, in, inSize, out, outSize, bytesReturned);
    return volume_->deviceIoControl(handle, code, in, inSize, out, outSize, bytesReturned);
}

BOOL CSimulatedVolume::queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) {
    return control(device_.get().handle, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, out, outSize,
                                    bytesReturned);
}

BOOL CSimulatedVolume::getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength,
                                            DWORD* flags, WCHAR* fileSystemName, DWORD fileSystemNameSize) {
    return volume_->getVolumeInformation(label, labelSize, serial, maxComponentLength, flags, fileSystemName,
                                         fileSystemNameSize);
}

BOOL CSimulatedVolume::getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                                        DWORD* totalClusters) {
    return volume_->getDiskFreeSpace(sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}

HANDLE CSimulatedVolume::createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES*,
                                    DWORD disposition, DWORD flags, HANDLE) {
    return volume_->createFile(longPath(path), access, shareMode, disposition, flags);
}

BOOL CSimulatedVolume::closeHandle(HANDLE handle) { return volume_->closeHandle(handle); }

BOOL CSimulatedVolume::getFileSize(HANDLE file, LARGE_INTEGER* size) { return volume_->getFileSize(file, size); }

DWORD CSimulatedVolume::getFileAttributes(const WString& path) { return volume_->getFileAttributes(longPath(path)); }

BOOL CSimulatedVolume::getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                                       DWORD* bytesReturned) {
    STARTING_LCN_INPUT_BUFFER in;
    in.StartingLcn.QuadPart = startingLcn;
    return control(device_.get().handle, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out, outSize,
                                    bytesReturned);
}

BOOL CSimulatedVolume::moveFile(const MOVE_FILE_DATA& move) {
    DWORD returned = 0;
    return control(device_.get().handle, FSCTL_MOVE_FILE, &move, sizeof move, nullptr, 0, &returned);
}

BOOL CSimulatedVolume::getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out,
                                            DWORD outSize, DWORD* bytesReturned) {
    STARTING_VCN_INPUT_BUFFER in;
    in.StartingVcn.QuadPart = startingVcn;
    return control(file, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out, outSize, bytesReturned);
}

BOOL CSimulatedVolume::querySeekPenalty(bool& incursSeekPenalty) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
    DWORD returned = 0;
    incursSeekPenalty = true;
    if (!control(device_.get().handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer,
                                  sizeof answer, &returned))
        return FALSE;
    incursSeekPenalty = answer.IncursSeekPenalty != 0;
    return TRUE;
}

HANDLE CSimulatedVolume::findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) {
    return volume_->findFirstFile(longPath(pattern), data);
}

BOOL CSimulatedVolume::findNextFile(HANDLE find, WIN32_FIND_DATAW* data) { return volume_->findNextFile(find, data); }

BOOL CSimulatedVolume::findClose(HANDLE find) { return volume_->findClose(find); }

std::unique_ptr<CVolumeChangeFeed> CSimulatedVolume::openChangeFeed() { return volume_->openChangeFeed(); }
