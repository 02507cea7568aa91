#include "ntfs/ntfs_volume.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "logging/log.h"
#include "ntfs/ntfs_disk.h"
#include "platform/dfrg_exception.h"
#include "platform/last_error.h"
#include "volume/volume_change_feed.h"

using ntfsvol::Status;

namespace {

constexpr DWORD kBitmapHeader = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
constexpr DWORD kRetrievalHeader = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);
constexpr DWORD kRetrievalExtent = sizeof(RETRIEVAL_POINTERS_BUFFER::Extents[0]);
constexpr DWORD kErrorFileCorrupt = 1392;
// File records of the root directory and of the first file that is not the file system's own.
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;

template <class T>
T fail(DWORD error, T result) {
    platform::setLastError(error);
    return result;
}

DWORD errorOf(Status status) {
    switch (status) {
    case Status::Ok: return ERROR_SUCCESS;
    case Status::NotFound: return ERROR_FILE_NOT_FOUND;
    case Status::PathNotFound: return ERROR_PATH_NOT_FOUND;
    case Status::EndOfFile: return ERROR_HANDLE_EOF;
    case Status::Refused: return ERROR_ACCESS_DENIED;
    case Status::Invalid: return ERROR_INVALID_PARAMETER;
    case Status::Corrupt: return kErrorFileCorrupt;
    case Status::IoError: return ERROR_WRITE_FAULT;
    }
    return ERROR_WRITE_FAULT;
}

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The components of a path on the volume of `letter`; false for a path on another drive.
bool componentsOf(const WString& rawPath, char16_t letter, std::vector<WString>& parts) {
    WString path = rawPath;
    if (path.size() >= 4 && path.compare(0, 4, u"\\\\?\\") == 0) path = path.substr(4);
    if (path.size() >= 2 && path[1] == u':') {
        if ((path[0] | 0x20) != (letter | 0x20)) return false;
        path = path.substr(2);
    }
    parts.clear();
    WString part;
    for (char16_t c : path) {
        if (isSeparator(c)) {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part.push_back(c);
        }
    }
    if (!part.empty()) parts.push_back(part);
    return true;
}

bool copyText(const WString& text, WCHAR* out, DWORD size) {
    if (!out) return true;
    if (size <= text.size()) return false;
    char16_t* o = asUtf16(out);
    std::copy(text.begin(), text.end(), o);
    o[text.size()] = 0;
    return true;
}

struct Handle {
    enum class Kind { Device, File, Find } kind = Kind::File;
    uint64_t mft = 0;
    bool metadata = false;
    WString path;                           // file handles: for the log
    std::vector<WIN32_FIND_DATAW> entries;  // find handles: the listing
    size_t next = 0;
};

}  // namespace

struct CNtfsVolume::Impl {
    mutable std::mutex lock;
    std::unique_ptr<ntfsvol::NtfsDisk> disk;
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle = 0x100;
    MoveFigures figures;

    HANDLE add(Handle h) {
        const uintptr_t id = nextHandle++;
        handles.emplace(id, std::move(h));
        return reinterpret_cast<HANDLE>(id);
    }
    Handle* find(HANDLE h, Handle::Kind kind) {
        auto it = handles.find(reinterpret_cast<uintptr_t>(h));
        return it == handles.end() || it->second.kind != kind ? nullptr : &it->second;
    }
    Status resolve(const WString& path, char16_t letter, uint64_t& mft, bool& metadata) const {
        std::vector<WString> parts;
        if (!componentsOf(path, letter, parts)) return Status::PathNotFound;
        return disk->resolve(parts, mft, metadata);
    }
};

CNtfsVolume::CNtfsVolume(const std::string& device, Access access, char16_t driveLetter)
    : CDfrgVolumeCommon(driveLetter, nullptr), impl_(std::make_unique<Impl>()) {
    std::string why;
    impl_->disk = ntfsvol::NtfsDisk::open(device, access == Access::ReadWrite, why);
    if (!impl_->disk) throw CDfrgException(ErrorVolumeUnavailable, "Cannot use " + device + ": " + why);
    open();
}

CNtfsVolume::~CNtfsVolume() = default;

void CNtfsVolume::adoptDeviceHandle(HANDLE device) { device_ = device; }

BOOL CNtfsVolume::queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (!out || outSize < sizeof(NTFS_VOLUME_DATA_BUFFER)) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    const ntfsvol::NtfsDisk& d = *impl_->disk;
    NTFS_VOLUME_DATA_BUFFER data;
    std::memset(&data, 0, sizeof data);
    data.NumberSectors.QuadPart = static_cast<LONGLONG>(d.totalClusters() * (d.clusterSize() / d.sectorSize()));
    data.TotalClusters.QuadPart = static_cast<LONGLONG>(d.totalClusters());
    data.BytesPerSector = d.sectorSize();
    data.BytesPerCluster = d.clusterSize();
    data.BytesPerFileRecordSegment = d.recordSize();
    std::memcpy(out, &data, sizeof data);
    if (bytesReturned) *bytesReturned = sizeof data;
    return TRUE;
}

BOOL CNtfsVolume::getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength,
                                       DWORD* flags, WCHAR* fileSystemName, DWORD fileSystemNameSize) {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (!copyText(platform::utf8ToUtf16(impl_->disk->label()), label, labelSize) ||
        !copyText(u"NTFS", fileSystemName, fileSystemNameSize))
        return fail(ERROR_BAD_LENGTH, FALSE);
    if (serial) *serial = 0;
    if (maxComponentLength) *maxComponentLength = 255;
    if (flags) *flags = 0x000200FFu;
    return TRUE;
}

BOOL CNtfsVolume::getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                                   DWORD* totalClusters) {
    std::lock_guard<std::mutex> g(impl_->lock);
    const ntfsvol::NtfsDisk& d = *impl_->disk;
    if (sectorsPerCluster) *sectorsPerCluster = d.clusterSize() / d.sectorSize();
    if (bytesPerSector) *bytesPerSector = d.sectorSize();
    if (freeClusters) *freeClusters = static_cast<DWORD>(std::min<uint64_t>(d.freeClusters(), 0xFFFFFFFFu));
    if (totalClusters) *totalClusters = static_cast<DWORD>(std::min<uint64_t>(d.totalClusters(), 0xFFFFFFFFu));
    return TRUE;
}

uint64_t CNtfsVolume::freeClusters() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->disk->freeClusters();
}

HANDLE CNtfsVolume::createFile(const WString& path, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD disposition, DWORD,
                               HANDLE) {
    std::lock_guard<std::mutex> g(impl_->lock);
    // Nothing is created or truncated through this volume.
    if (disposition != OPEN_EXISTING) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    Handle h;
    if (path == devicePath()) {
        h.kind = Handle::Kind::Device;
        return impl_->add(std::move(h));
    }
    const Status status = impl_->resolve(path, driveLetter(), h.mft, h.metadata);
    if (status != Status::Ok) return fail(errorOf(status), INVALID_HANDLE_VALUE);
    h.path = path;
    return impl_->add(std::move(h));
}

BOOL CNtfsVolume::closeHandle(HANDLE handle) {
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == impl_->handles.end() || it->second.kind == Handle::Kind::Find) return fail(ERROR_INVALID_HANDLE, FALSE);
    impl_->handles.erase(it);
    return TRUE;
}

BOOL CNtfsVolume::getFileSize(HANDLE file, LARGE_INTEGER* size) {
    std::lock_guard<std::mutex> g(impl_->lock);
    const Handle* h = impl_->find(file, Handle::Kind::File);
    if (!h) return fail(ERROR_INVALID_HANDLE, FALSE);
    ntfsvol::FileFacts facts;
    const Status status = impl_->disk->facts(h->mft, facts);
    if (status != Status::Ok) return fail(errorOf(status), FALSE);
    size->QuadPart = static_cast<LONGLONG>(facts.size);
    return TRUE;
}

DWORD CNtfsVolume::getFileAttributes(const WString& path) {
    std::lock_guard<std::mutex> g(impl_->lock);
    uint64_t mft = 0;
    bool metadata = false;
    Status status = impl_->resolve(path, driveLetter(), mft, metadata);
    ntfsvol::FileFacts facts;
    if (status == Status::Ok) status = impl_->disk->facts(mft, facts);
    if (status != Status::Ok) return fail(errorOf(status), INVALID_FILE_ATTRIBUTES);
    return facts.attributes;
}

BOOL CNtfsVolume::getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                                  DWORD* bytesReturned) {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (bytesReturned) *bytesReturned = 0;
    const uint64_t total = impl_->disk->totalClusters();
    if (startingLcn < 0 || static_cast<uint64_t>(startingLcn) >= total) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!out || outSize < kBitmapHeader) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    // As the file system does: the answer starts at the byte that holds the requested cluster.
    const uint64_t start = static_cast<uint64_t>(startingLcn) & ~uint64_t(7);
    const uint64_t clusters = total - start;
    const uint64_t needed = (clusters + 7) / 8;
    const uint64_t bytes = std::min<uint64_t>(needed, outSize - kBitmapHeader);
    out->StartingLcn.QuadPart = static_cast<LONGLONG>(start);
    out->BitmapSize.QuadPart = static_cast<LONGLONG>(clusters);
    uint8_t* bits = reinterpret_cast<uint8_t*>(out) + kBitmapHeader;
    std::memcpy(bits, impl_->disk->bitmap().data() + start / 8, static_cast<size_t>(bytes));
    // The bits past the last cluster promise nothing; they read as 0.
    if (bytes == needed && (total & 7))
        bits[bytes - 1] = static_cast<uint8_t>(bits[bytes - 1] & ((1u << (total & 7)) - 1));
    if (bytesReturned) *bytesReturned = static_cast<DWORD>(kBitmapHeader + bytes);
    if (bytes < needed) return fail(ERROR_MORE_DATA, FALSE);
    return TRUE;
}

BOOL CNtfsVolume::getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out,
                                       DWORD outSize, DWORD* bytesReturned) {
    std::lock_guard<std::mutex> g(impl_->lock);
    if (bytesReturned) *bytesReturned = 0;
    const Handle* h = impl_->find(file, Handle::Kind::File);
    if (!h) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (startingVcn < 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!out || outSize < sizeof(RETRIEVAL_POINTERS_BUFFER)) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::vector<ntfsvol::Extent> runs;
    const Status status = impl_->disk->extents(h->mft, runs);
    if (status != Status::Ok) return fail(errorOf(status), FALSE);
    // The answer starts at the run that holds the requested VCN.
    const uint64_t wanted = static_cast<uint64_t>(startingVcn);
    size_t first = 0;
    uint64_t vcn = 0;
    while (first < runs.size() && vcn + runs[first].length <= wanted) vcn += runs[first++].length;
    if (first == runs.size()) return fail(ERROR_HANDLE_EOF, FALSE);
    const size_t capacity = (outSize - kRetrievalHeader) / kRetrievalExtent;
    const size_t count = std::min(capacity, runs.size() - first);
    out->ExtentCount = static_cast<DWORD>(count);
    out->StartingVcn.QuadPart = static_cast<LONGLONG>(vcn);
    for (size_t i = 0; i < count; ++i) {
        vcn += runs[first + i].length;
        out->Extents[i].NextVcn.QuadPart = static_cast<LONGLONG>(vcn);
        out->Extents[i].Lcn.QuadPart = runs[first + i].lcn < 0 ? -1 : runs[first + i].lcn;
    }
    if (bytesReturned) *bytesReturned = static_cast<DWORD>(kRetrievalHeader + count * kRetrievalExtent);
    if (count < runs.size() - first) return fail(ERROR_MORE_DATA, FALSE);
    return TRUE;
}

HANDLE CNtfsVolume::findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) {
    std::lock_guard<std::mutex> g(impl_->lock);
    const size_t cut = pattern.find_last_of(u"\\/");
    if (cut == WString::npos || cut + 1 >= pattern.size()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    const WString leaf = pattern.substr(cut + 1);
    uint64_t dir = 0;
    bool metadata = false;
    if (impl_->resolve(pattern.substr(0, cut + 1), driveLetter(), dir, metadata) != Status::Ok)
        return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::vector<ntfsvol::ListedEntry> entries;
    const Status status = impl_->disk->list(dir, entries);
    if (status != Status::Ok) return fail(errorOf(status), INVALID_HANDLE_VALUE);
    const bool all = leaf == u"*.*" || leaf == u"*";
    Handle h;
    h.kind = Handle::Kind::Find;
    for (const ntfsvol::ListedEntry& e : entries) {
        const bool dots = e.name == u"." || e.name == u"..";
        if (dots && dir == kRootRecord) continue;  // the root shows no "." and ".."
        // The file system's own files ($MFT, $Extend ...) are not listed, as Windows does not.
        if (!dots && e.mft < kFirstUserRecord) continue;
        if (!all && platform::compareNoCase(e.name, leaf) != 0) continue;
        WIN32_FIND_DATAW d;
        std::memset(&d, 0, sizeof d);
        d.dwFileAttributes = e.facts.attributes;
        d.nFileSizeHigh = static_cast<DWORD>(e.facts.size >> 32);
        d.nFileSizeLow = static_cast<DWORD>(e.facts.size);
        const size_t n = std::min<size_t>(e.name.size(), MAX_PATH - 1);
        std::copy(e.name.begin(), e.name.begin() + static_cast<std::ptrdiff_t>(n), asUtf16(d.cFileName));
        h.entries.push_back(d);
    }
    if (h.entries.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    *data = h.entries[0];
    h.next = 1;
    return impl_->add(std::move(h));
}

BOOL CNtfsVolume::findNextFile(HANDLE find, WIN32_FIND_DATAW* data) {
    std::lock_guard<std::mutex> g(impl_->lock);
    Handle* h = impl_->find(find, Handle::Kind::Find);
    if (!h) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (h->next >= h->entries.size()) return fail(ERROR_NO_MORE_FILES, FALSE);
    *data = h->entries[h->next++];
    return TRUE;
}

BOOL CNtfsVolume::findClose(HANDLE find) {
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->handles.find(reinterpret_cast<uintptr_t>(find));
    if (it == impl_->handles.end() || it->second.kind != Handle::Kind::Find) return fail(ERROR_INVALID_HANDLE, FALSE);
    impl_->handles.erase(it);
    return TRUE;
}

std::unique_ptr<CVolumeChangeFeed> CNtfsVolume::openChangeFeed() {
    return fail(ERROR_INVALID_FUNCTION, std::unique_ptr<CVolumeChangeFeed>());
}

CNtfsVolume::MoveFigures CNtfsVolume::moveFigures() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    return impl_->figures;
}

void CNtfsVolume::setStopAfterStep(int step) {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->disk->setStopAfterStep(step);
}

BOOL CNtfsVolume::moveFile(const MOVE_FILE_DATA& move) {
    std::lock_guard<std::mutex> g(impl_->lock);
    const Handle* file = impl_->find(move.FileHandle, Handle::Kind::File);
    if (!file) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (move.StartingVcn.QuadPart < 0 || move.StartingLcn.QuadPart < 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
    const auto started = std::chrono::steady_clock::now();
    uint64_t copied = 0;
    const Status status =
        impl_->disk->move(file->mft, file->metadata, static_cast<uint64_t>(move.StartingVcn.QuadPart),
                          move.ClusterCount, static_cast<uint64_t>(move.StartingLcn.QuadPart), copied);
    MoveFigures& f = impl_->figures;
    f.moveMicroseconds += static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count());
    f.clustersMoved += copied;
    if (status == Status::Refused) {
        ++f.refused;
        LogScope scope("ntfsVolume");
        LogMessage(scope, LogPriority::Warning)
            .text("Move refused: the file is of a kind this volume does not move (a file of the file system, "
                  "compressed or encrypted data, an attribute list, or a run list too long for its record).")
            .prop("FileName", platform::utf16ToUtf8(file->path));
    }
    if (status != Status::Ok) return fail(errorOf(status), FALSE);
    ++f.moves;
    return TRUE;
}
