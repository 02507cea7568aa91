// Windows only: each operation is the Windows call of the same name, passed through.
#include "volume/windows_volume.h"

#include <cstring>
#include <vector>

#include "platform/clock.h"
#include "platform/last_error.h"
#include "volume/volume_change_feed.h"

namespace {

const wchar_t* wide(const WString& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

void pause(uint32_t ms) { platform::sleepMs(ms); }

using UniqueHandle = platform::UniqueFile;

// ReadDirectoryChangesW on the volume root, overlapped so that a stop can interrupt the wait.
// A read is always outstanding into the feed's own buffer, so that nothing that changes between
// two calls of read() is missed.
class CWindowsChangeFeed : public CVolumeChangeFeed {
public:
    static constexpr DWORD kBufferBytes = 1u << 20;

    CWindowsChangeFeed(HANDLE directory, HANDLE ioEvent)
        : directory_(directory), ioEvent_(ioEvent), buffer_(kBufferBytes / sizeof(uint64_t)) {}
    ~CWindowsChangeFeed() override {
        if (pending_) {
            platform::LastErrorKeeper keep;
            CancelIo(directory_.get());
            DWORD ignored;
            GetOverlappedResult(directory_.get(), &overlapped_, &ignored, TRUE);
        }
    }

    bool start() {
        ZeroMemory(&overlapped_, sizeof overlapped_);
        overlapped_.hEvent = ioEvent_.get();
        pending_ = ReadDirectoryChangesW(directory_.get(), buffer_.data(), kBufferBytes, TRUE,
                                         FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE, nullptr, &overlapped_,
                                         nullptr) != FALSE;
        return pending_;
    }

    Result read(void* buffer, uint32_t bufferSize, uint32_t& bytesReturned, platform::Event& stop) override {
        bytesReturned = 0;
        if (!pending_ && !start()) return Result::Failed;
        HANDLE waits[2] = {static_cast<HANDLE>(stop.nativeHandle()), ioEvent_.get()};
        const DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (which == WAIT_OBJECT_0) return Result::Stopped;
        if (which != WAIT_OBJECT_0 + 1) return Result::Failed;
        pending_ = false;
        DWORD bytes = 0;
        if (!GetOverlappedResult(directory_.get(), &overlapped_, &bytes, FALSE)) return Result::Failed;
        // More than the caller's buffer holds counts as lost, as the system reports it.
        if (bytes <= bufferSize) {
            std::memcpy(buffer, buffer_.data(), bytes);
            bytesReturned = bytes;
        }
        start();
        return Result::Changes;
    }

private:
    UniqueHandle directory_;
    UniqueHandle ioEvent_;
    std::vector<uint64_t> buffer_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
};

}  // namespace


CWindowsVolume::CWindowsVolume(char16_t driveLetter) : CDfrgVolumeCommon(driveLetter, pause) { open(); }

CWindowsVolume::CWindowsVolume(char16_t driveLetter, DeviceOnly) : CDfrgVolumeCommon(driveLetter, pause) {
    openDevice();
}

CWindowsVolume::~CWindowsVolume() = default;

void CWindowsVolume::adoptDeviceHandle(HANDLE device) { device_.reset(device); }

BOOL CWindowsVolume::queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) {
    return DeviceIoControl(device_.get(), FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, out, outSize, bytesReturned, nullptr);
}

BOOL CWindowsVolume::getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength,
                                          DWORD* flags, WCHAR* fileSystemName, DWORD fileSystemNameSize) {
    return GetVolumeInformationW(wide(rootPath()), label, labelSize, serial, maxComponentLength, flags,
                                 fileSystemName, fileSystemNameSize);
}

BOOL CWindowsVolume::getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                                      DWORD* totalClusters) {
    return GetDiskFreeSpaceW(wide(rootPath()), sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
}

HANDLE CWindowsVolume::createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                                  DWORD disposition, DWORD flags, HANDLE templateFile) {
    return CreateFileW(wide(longPath(path)), access, shareMode, security, disposition, flags, templateFile);
}

BOOL CWindowsVolume::closeHandle(HANDLE handle) { return CloseHandle(handle); }

BOOL CWindowsVolume::getFileSize(HANDLE file, LARGE_INTEGER* size) { return GetFileSizeEx(file, size); }

DWORD CWindowsVolume::getFileAttributes(const WString& path) { return GetFileAttributesW(wide(longPath(path))); }

BOOL CWindowsVolume::getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                                     DWORD* bytesReturned) {
    STARTING_LCN_INPUT_BUFFER in;
    in.StartingLcn.QuadPart = startingLcn;
    return DeviceIoControl(device_.get(), FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out, outSize, bytesReturned, nullptr);
}

BOOL CWindowsVolume::moveFile(const MOVE_FILE_DATA& move) {
    DWORD returned = 0;
    MOVE_FILE_DATA in = move;
    return DeviceIoControl(device_.get(), FSCTL_MOVE_FILE, &in, sizeof in, nullptr, 0, &returned, nullptr);
}

BOOL CWindowsVolume::getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out,
                                          DWORD outSize, DWORD* bytesReturned) {
    STARTING_VCN_INPUT_BUFFER in;
    in.StartingVcn.QuadPart = startingVcn;
    return DeviceIoControl(file, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out, outSize, bytesReturned, nullptr);
}

HANDLE CWindowsVolume::findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) {
    return FindFirstFileW(wide(longPath(pattern)), data);
}

BOOL CWindowsVolume::findNextFile(HANDLE find, WIN32_FIND_DATAW* data) { return FindNextFileW(find, data); }

BOOL CWindowsVolume::findClose(HANDLE find) { return FindClose(find); }

std::unique_ptr<CVolumeChangeFeed> CWindowsVolume::openChangeFeed() {
    UniqueHandle directory(CreateFileW(wide(rootPath()), FILE_LIST_DIRECTORY,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
    if (!directory) return nullptr;
    UniqueHandle ioEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!ioEvent) return nullptr;
    auto feed = std::make_unique<CWindowsChangeFeed>(directory.release(), ioEvent.release());
    if (!feed->start()) return nullptr;
    return feed;
}

BOOL CWindowsVolume::querySeekPenalty(bool& incursSeekPenalty) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer{};
    DWORD returned = 0;
    if (!DeviceIoControl(device_.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &answer, sizeof answer,
                         &returned, nullptr))
        return false;
    if (returned < sizeof answer) {
        // A driver that answers without the field has not told us anything.
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    incursSeekPenalty = answer.IncursSeekPenalty != FALSE;
    return true;
}
