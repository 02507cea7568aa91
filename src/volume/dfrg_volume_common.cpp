#include "volume/dfrg_volume_common.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/last_error.h"
#include "platform/dfrg_exception.h"

namespace {

constexpr uint32_t kOpenRetries = 10;
constexpr uint32_t kOpenRetryPauseMs = 100;
constexpr DWORD kNameBufferChars = 1024;
// One bitmap request: 16 bytes of header and 9000 bytes (72000 clusters) of bitmap.
constexpr DWORD kBitmapRequestBytes = 9016;
constexpr size_t kBitmapBufferBytes = 9026;
constexpr uint64_t kBitmapChunkClusters = 72000;

std::string narrow(const WString& text) { return platform::utf16ToUtf8(text); }

bool contains(const WString& text, const char16_t* part) { return text.find(part) != WString::npos; }

}  // namespace

const char* fileSystemTypeName(CDfrgVolume::FileSystemType type) {
    switch (type) {
    case CDfrgVolume::FileSystemType::NTFS: return "NTFS";
    case CDfrgVolume::FileSystemType::FAT32: return "FAT 32";
    case CDfrgVolume::FileSystemType::FAT: return "FAT 16";
    default: return "unknown";
    }
}

CDfrgVolume::FileSystemType detectFileSystemType(const WString& name) {
    if (contains(name, u"NTFS")) return CDfrgVolume::FileSystemType::NTFS;
    if (contains(name, u"FAT32")) return CDfrgVolume::FileSystemType::FAT32;
    if (contains(name, u"FAT")) return CDfrgVolume::FileSystemType::FAT;
    return CDfrgVolume::FileSystemType::Unknown;
}

CDfrgVolumeCommon::CDfrgVolumeCommon(char16_t driveLetter, RetryPause pause)
    : driveLetter_(driveLetter), pause_(std::move(pause)) {
    rootPath_ = WString(1, driveLetter) + u":\\";
    devicePath_ = u"\\\\.\\" + WString(1, driveLetter) + u":";
}

void CDfrgVolumeCommon::open() {
    openDevice();
    readFileSystemFacts();
}

void CDfrgVolumeCommon::openDevice() {
    for (uint32_t attempt = 0;; ++attempt) {
        HANDLE device = createFile(devicePath_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        if (device != INVALID_HANDLE_VALUE) {
            adoptDeviceHandle(device);
            return;
        }
        // Access denied is what a volume in the middle of being locked by another program
        // answers for a moment; anything else will not change by waiting.
        if (platform::lastError() == ERROR_ACCESS_DENIED && attempt < kOpenRetries) {
            if (pause_) pause_(kOpenRetryPauseMs);
            continue;
        }
        throw CDfrgException(ErrorVolumeUnavailable, "Couldn't open Volume ! " + narrow(devicePath_));
    }
}

void CDfrgVolumeCommon::readFileSystemFacts() {
    WCHAR label[kNameBufferChars] = {};
    WCHAR fileSystemName[kNameBufferChars] = {};
    if (!getVolumeInformation(label, kNameBufferChars, nullptr, nullptr, nullptr, fileSystemName, kNameBufferChars))
        throw CDfrgException(ErrorVolumeUnavailable, "Couldn't get Volume Information " + narrow(rootPath_));
    label[kNameBufferChars - 1] = 0;
    fileSystemName[kNameBufferChars - 1] = 0;
    label_ = asUtf16(label);
    fileSystemType_ = detectFileSystemType(WString(asUtf16(fileSystemName)));

    if (fileSystemType_ == CDfrgVolume::FileSystemType::NTFS) {
        NTFS_VOLUME_DATA_BUFFER data;
        std::memset(&data, 0, sizeof data);
        DWORD returned = 0;
        if (!queryNtfsVolumeData(&data, sizeof data, &returned))
            throw CDfrgException(ErrorVolumeUnavailable, "Couldn't read Volume Information ! " + narrow(rootPath_));
        totalClusters_ = static_cast<uint64_t>(data.TotalClusters.QuadPart);
        bytesPerCluster_ = data.BytesPerCluster;
    } else {
        DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
        getDiskFreeSpace(&sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters);
        totalClusters_ = clusters;
        bytesPerCluster_ = sectorsPerCluster * bytesPerSector;
    }
}

bool CDfrgVolumeCommon::readWholeBitmap(std::unique_ptr<uint8_t[]>& out) {
    const uint64_t outBytes = (totalClusters_ + 7) / 8;
    // Zeroed, so that a bitmap that cannot be read leaves no stale memory in the dump.
    out.reset(new uint8_t[outBytes ? outBytes : 1]());
    std::vector<uint64_t> storage((kBitmapBufferBytes + 7) / 8);
    auto* request = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(storage.data());
    const size_t header = offsetof(VOLUME_BITMAP_BUFFER, Buffer);

    uint64_t lcn = 0;
    for (;;) {
        DWORD returned = 0;
        BOOL ok = getVolumeBitmap(static_cast<LONGLONG>(lcn), request, kBitmapRequestBytes, &returned);
        DWORD error = ok ? ERROR_SUCCESS : platform::lastError();
        if (!ok && error != ERROR_MORE_DATA) break;
        if (returned < header) break;
        const uint64_t start = static_cast<uint64_t>(request->StartingLcn.QuadPart);
        const uint64_t offset = start / 8;
        // A malformed answer must not write past the caller's buffer.
        if (offset < outBytes) {
            uint64_t bytes = std::min<uint64_t>(returned - header, outBytes - offset);
            bytes = std::min<uint64_t>(bytes, kBitmapRequestBytes - header);
            std::memcpy(out.get() + offset, request->Buffer, static_cast<size_t>(bytes));
        }
        if (error != ERROR_MORE_DATA) break;
        const uint64_t size = static_cast<uint64_t>(request->BitmapSize.QuadPart);
        const uint64_t next = start + std::min(size, kBitmapChunkClusters);
        if (next <= lcn) break;  // no progress: stop rather than ask for the same chunk forever
        lcn = next;
    }
    return true;
}

WString longPath(const WString& path) {
    if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return u"\\\\?\\" + path;
    return path;
}
