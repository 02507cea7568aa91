// The one place where the defragmentation logic meets a volume: every volume and file call the
// engine makes goes through this interface, so the same logic runs against a real Windows
// volume and against a simulated one.
//
// Every operation reports like the Windows function it stands for: a failed call returns
// FALSE, INVALID_HANDLE_VALUE or INVALID_FILE_ATTRIBUTES and leaves the reason in the calling
// thread's last error (platform::lastError()); a partial result (ERROR_MORE_DATA) returns FALSE
// with the output filled as far as it went. A successful call may leave an older last error in
// place, so callers read it only after a failure.
//
// Thread safety: one object is used by the worker thread; the pass-through operations keep no
// state of their own and may be called from any thread that owns the handles it passes.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/last_error.h"
#include "platform/text.h"
#include "platform/win32_types.h"

class CVolumeChangeFeed;

class CDfrgVolume {
public:
    // Declared inside the class: the Windows headers have a global constant of this name.
    enum class FileSystemType : int32_t { Unknown = -1, NTFS = 1, FAT = 2, FAT32 = 3 };

    virtual ~CDfrgVolume() = default;

    // Facts learnt when the volume was opened.
    virtual WString volumeLabel() const = 0;
    virtual uint64_t totalClusters() const = 0;
    virtual uint32_t bytesPerCluster() const = 0;
    virtual FileSystemType fileSystemType() const = 0;
    virtual char16_t driveLetter() const = 0;

    // The whole volume bitmap, one bit per cluster (1 = in use), (totalClusters + 7) / 8 bytes,
    // in a new buffer. Always true; a bitmap that cannot be read leaves zero bytes.
    virtual bool readWholeBitmap(std::unique_ptr<uint8_t[]>& out) = 0;

    // GetVolumeInformationW on the root path; null outputs are not asked for.
    virtual BOOL getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength,
                                      DWORD* flags, WCHAR* fileSystemName, DWORD fileSystemNameSize) = 0;
    // GetDiskFreeSpaceW on the root path.
    virtual BOOL getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                                  DWORD* totalClusters) = 0;
    // CreateFileW: a path on this volume (or the volume's device path). The handle is closed
    // with closeHandle of the same volume.
    virtual HANDLE createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) = 0;
    virtual BOOL closeHandle(HANDLE handle) = 0;
    // GetFileSizeEx: the size in bytes of an open file.
    virtual BOOL getFileSize(HANDLE file, LARGE_INTEGER* size) = 0;
    // GetFileAttributesW: INVALID_FILE_ATTRIBUTES on failure.
    virtual DWORD getFileAttributes(const WString& path) = 0;

    // FSCTL_GET_VOLUME_BITMAP on the volume from startingLcn (the file system may round the start
    // down to a multiple of 8). ERROR_MORE_DATA when the buffer ends before the volume does.
    virtual BOOL getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                                 DWORD* bytesReturned) = 0;
    // FSCTL_MOVE_FILE on the volume. The target clusters must be free (else 87).
    virtual BOOL moveFile(const MOVE_FILE_DATA& move) = 0;
    // FSCTL_GET_RETRIEVAL_POINTERS on an open file from startingVcn. ERROR_MORE_DATA when more
    // extents follow, ERROR_HANDLE_EOF when the file has no clusters at or after startingVcn.
    virtual BOOL getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out,
                                      DWORD outSize, DWORD* bytesReturned) = 0;

    // FindFirstFileW / FindNextFileW / FindClose.
    virtual HANDLE findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) = 0;
    virtual BOOL findNextFile(HANDLE find, WIN32_FIND_DATAW* data) = 0;
    virtual BOOL findClose(HANDLE find) = 0;

    // Notifications of files created and changed anywhere on the volume (the file-name and size
    // changes of the whole tree below the root). Null, with the last error set, when the volume
    // cannot be watched.
    virtual std::unique_ptr<CVolumeChangeFeed> openChangeFeed() = 0;

    // IOCTL_STORAGE_QUERY_PROPERTY (StorageDeviceSeekPenaltyProperty) on the volume's device:
    // true with the answer, or false with the last error set when the device cannot tell. This
    // default cannot tell (ERROR_NOT_SUPPORTED).
    virtual bool querySeekPenalty(bool& incursSeekPenalty);
};

inline bool CDfrgVolume::querySeekPenalty(bool&) {
    platform::setLastError(ERROR_NOT_SUPPORTED);
    return false;
}

// The name the logs use for a file-system type.
const char* fileSystemTypeName(CDfrgVolume::FileSystemType type);

// A volume handle or find handle together with the volume that closes it; for
// platform::UniqueResource.
struct VolumeHandle {
    CDfrgVolume* volume;
    HANDLE handle;
};

struct VolumeFileHandleTraits {
    using Type = VolumeHandle;
    static Type invalid() { return {nullptr, INVALID_HANDLE_VALUE}; }
    static bool isValid(Type h) { return h.volume != nullptr && h.handle != INVALID_HANDLE_VALUE && h.handle != nullptr; }
    static void close(Type h) { h.volume->closeHandle(h.handle); }
};

struct VolumeFindHandleTraits {
    using Type = VolumeHandle;
    static Type invalid() { return {nullptr, INVALID_HANDLE_VALUE}; }
    static bool isValid(Type h) { return h.volume != nullptr && h.handle != INVALID_HANDLE_VALUE && h.handle != nullptr; }
    static void close(Type h) { h.volume->findClose(h.handle); }
};

// UTF-16 text of a Windows wide-character buffer (wchar_t on Windows, char16_t elsewhere).
template <class Char>
inline const char16_t* asUtf16(const Char* text) {
    static_assert(sizeof(Char) == sizeof(char16_t), "UTF-16 code units");
    return reinterpret_cast<const char16_t*>(text);
}
template <class Char>
inline char16_t* asUtf16(Char* text) {
    static_assert(sizeof(Char) == sizeof(char16_t), "UTF-16 code units");
    return reinterpret_cast<char16_t*>(text);
}
