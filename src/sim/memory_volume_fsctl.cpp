// The memory volume's device controls: volume data, bitmap, retrieval pointers and moves, with
// the buffer layouts and partial-result rules of the file system they stand in for.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/last_error.h"
#include "sim/memory_volume.h"
#include "sim/memory_volume_state.h"

using namespace memvol;

namespace {

BOOL fail(DWORD error) {
    platform::setLastError(error);
    return FALSE;
}

constexpr DWORD kBitmapHeader = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
constexpr DWORD kRetrievalHeader = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);
constexpr DWORD kRetrievalExtent = sizeof(RETRIEVAL_POINTERS_BUFFER::Extents[0]);

BOOL volumeData(const CMemoryVolume::State& s, void* out, DWORD outSize, DWORD* returned) {
    if (s.geometry.fileSystemName.find(u"NTFS") == WString::npos) return fail(ERROR_INVALID_FUNCTION);
    if (!out || outSize < sizeof(NTFS_VOLUME_DATA_BUFFER)) return fail(ERROR_INSUFFICIENT_BUFFER);
    NTFS_VOLUME_DATA_BUFFER data;
    std::memset(&data, 0, sizeof data);
    const auto& g = s.geometry;
    data.VolumeSerialNumber.QuadPart = g.serialNumber;
    data.NumberSectors.QuadPart = static_cast<LONGLONG>(g.totalClusters * (g.bytesPerCluster / g.bytesPerSector));
    data.TotalClusters.QuadPart = static_cast<LONGLONG>(g.totalClusters);
    data.FreeClusters.QuadPart = static_cast<LONGLONG>(s.freeClusters);
    data.BytesPerSector = g.bytesPerSector;
    data.BytesPerCluster = g.bytesPerCluster;
    data.BytesPerFileRecordSegment = 1024;
    data.ClustersPerFileRecordSegment = g.bytesPerCluster >= 1024 ? 0 : 1024 / g.bytesPerCluster;
    std::memcpy(out, &data, sizeof data);
    if (returned) *returned = sizeof data;
    return TRUE;
}

// Bytes of the bitmap from byte `first` on: bit n of byte k is cluster 8k + n, which is how the
// words lie in memory on a little-endian machine, so whole words are copied.
void copyBitmapBytes(const std::vector<uint64_t>& words, uint64_t first, uint64_t count, uint8_t* out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(out, reinterpret_cast<const uint8_t*>(words.data()) + first, static_cast<size_t>(count));
#else
    for (uint64_t j = 0; j < count; ++j)
        out[j] = static_cast<uint8_t>(words[static_cast<size_t>((first + j) / 8)] >> (8 * ((first + j) % 8)));
#endif
}

BOOL volumeBitmap(const CMemoryVolume::State& s, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* returned) {
    if (!in || inSize < sizeof(STARTING_LCN_INPUT_BUFFER)) return fail(ERROR_INVALID_PARAMETER);
    STARTING_LCN_INPUT_BUFFER request;
    std::memcpy(&request, in, sizeof request);
    const uint64_t total = s.geometry.totalClusters;
    if (request.StartingLcn.QuadPart < 0 || static_cast<uint64_t>(request.StartingLcn.QuadPart) >= total)
        return fail(ERROR_INVALID_PARAMETER);
    if (!out || outSize < kBitmapHeader) return fail(ERROR_INSUFFICIENT_BUFFER);
    // The file system answers from the byte that holds the requested cluster.
    const uint64_t start = static_cast<uint64_t>(request.StartingLcn.QuadPart) & ~uint64_t(7);
    const uint64_t clusters = total - start;
    const uint64_t needed = (clusters + 7) / 8;
    const uint64_t bytes = std::min<uint64_t>(needed, outSize - kBitmapHeader);
    auto* buffer = static_cast<VOLUME_BITMAP_BUFFER*>(out);
    buffer->StartingLcn.QuadPart = static_cast<LONGLONG>(start);
    buffer->BitmapSize.QuadPart = static_cast<LONGLONG>(clusters);
    uint8_t* bits = static_cast<uint8_t*>(out) + kBitmapHeader;
    copyBitmapBytes(s.bitmap, start / 8, bytes, bits);
    // Bits past the last cluster read as 0, as nothing is promised about them.
    if (bytes == needed && total % 8) bits[bytes - 1] &= static_cast<uint8_t>((1u << (total % 8)) - 1);
    if (returned) *returned = static_cast<DWORD>(kBitmapHeader + bytes);
    if (bytes < needed) return fail(ERROR_MORE_DATA);
    return TRUE;
}

BOOL retrievalPointers(const Node& file, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    if (!in || inSize < sizeof(STARTING_VCN_INPUT_BUFFER)) return fail(ERROR_INVALID_PARAMETER);
    STARTING_VCN_INPUT_BUFFER request;
    std::memcpy(&request, in, sizeof request);
    if (request.StartingVcn.QuadPart < 0) return fail(ERROR_INVALID_PARAMETER);
    if (!out || outSize < sizeof(RETRIEVAL_POINTERS_BUFFER)) return fail(ERROR_INSUFFICIENT_BUFFER);
    const uint64_t wanted = static_cast<uint64_t>(request.StartingVcn.QuadPart);
    // The answer starts at the run that holds the requested VCN.
    size_t first = 0;
    uint64_t vcn = 0;
    while (first < file.runs.size() && vcn + file.runs[first].length <= wanted) vcn += file.runs[first++].length;
    if (first == file.runs.size()) return fail(ERROR_HANDLE_EOF);
    const size_t capacity = (outSize - kRetrievalHeader) / kRetrievalExtent;
    const size_t count = std::min(capacity, file.runs.size() - first);
    auto* buffer = static_cast<RETRIEVAL_POINTERS_BUFFER*>(out);
    buffer->ExtentCount = static_cast<DWORD>(count);
    buffer->StartingVcn.QuadPart = static_cast<LONGLONG>(vcn);
    for (size_t i = 0; i < count; ++i) {
        const Run& r = file.runs[first + i];
        vcn += r.length;
        buffer->Extents[i].NextVcn.QuadPart = static_cast<LONGLONG>(vcn);
        buffer->Extents[i].Lcn.QuadPart = r.lcn == kVirtual ? -1 : static_cast<LONGLONG>(r.lcn);
    }
    if (returned) *returned = static_cast<DWORD>(kRetrievalHeader + count * kRetrievalExtent);
    if (count < file.runs.size() - first) return fail(ERROR_MORE_DATA);
    return TRUE;
}

// The one storage property a simulated disk knows: whether it has a seek penalty (it has none
// when the image says solid state).
BOOL storageProperty(const CMemoryVolume::State& s, const void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned) {
    if (!in || inSize < offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters)) return fail(ERROR_INVALID_PARAMETER);
    STORAGE_PROPERTY_QUERY query;
    std::memcpy(&query, in, offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters));
    if (query.PropertyId != StorageDeviceSeekPenaltyProperty) return fail(ERROR_NOT_SUPPORTED);
    if (query.QueryType == PropertyExistsQuery) return TRUE;
    if (query.QueryType != PropertyStandardQuery) return fail(ERROR_INVALID_PARAMETER);
    DEVICE_SEEK_PENALTY_DESCRIPTOR answer;
    std::memset(&answer, 0, sizeof answer);
    answer.Version = sizeof answer;
    answer.Size = sizeof answer;
    answer.IncursSeekPenalty = s.geometry.solidState ? 0 : 1;
    // As the system does, a buffer for the header alone learns the size.
    const DWORD header = offsetof(DEVICE_SEEK_PENALTY_DESCRIPTOR, IncursSeekPenalty);
    if (!out || outSize < header) return fail(ERROR_INSUFFICIENT_BUFFER);
    const DWORD n = outSize < sizeof answer ? header : static_cast<DWORD>(sizeof answer);
    std::memcpy(out, &answer, n);
    if (returned) *returned = n;
    return TRUE;
}

}  // namespace

BOOL CMemoryVolume::deviceIoControl(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out,
                                    DWORD outSize, DWORD* bytesReturned) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (bytesReturned) *bytesReturned = 0;
    if (s.gone) return fail(ERROR_NOT_READY);
    auto it = s.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == s.handles.end() || it->second.kind == HandleEntry::Kind::Find) return fail(ERROR_INVALID_HANDLE);
    const HandleEntry& h = it->second;
    const bool device = h.kind == HandleEntry::Kind::Device;

    switch (code) {
    case FSCTL_GET_NTFS_VOLUME_DATA:
        if (!device) return fail(ERROR_INVALID_PARAMETER);
        return volumeData(s, out, outSize, bytesReturned);

    case FSCTL_GET_VOLUME_BITMAP:
        if (!device) return fail(ERROR_INVALID_PARAMETER);
        return volumeBitmap(s, in, inSize, out, outSize, bytesReturned);

    case FSCTL_GET_RETRIEVAL_POINTERS: {
        if (device) return fail(ERROR_INVALID_PARAMETER);
        const Node* file = s.node(h.node);
        if (!file) return fail(ERROR_ACCESS_DENIED);
        return retrievalPointers(*file, in, inSize, out, outSize, bytesReturned);
    }

    case FSCTL_MOVE_FILE: {
        if (!device) return fail(ERROR_INVALID_PARAMETER);
        if (!in || inSize < sizeof(MOVE_FILE_DATA)) return fail(ERROR_INVALID_PARAMETER);
        MOVE_FILE_DATA move;
        std::memcpy(&move, in, sizeof move);
        if (s.moveFaultCount > 0) {
            --s.moveFaultCount;
            return fail(s.moveFaultError);
        }
        auto file = s.handles.find(reinterpret_cast<uintptr_t>(move.FileHandle));
        if (file == s.handles.end() || file->second.kind != HandleEntry::Kind::File) return fail(ERROR_INVALID_HANDLE);
        const uint32_t id = file->second.node;
        const Node* n = s.node(id);
        if (!n) return fail(ERROR_ACCESS_DENIED);
        // Encrypted data can only be moved through a handle that may read it.
        if ((n->attributes & FILE_ATTRIBUTE_ENCRYPTED) && !(file->second.access & (FILE_READ_DATA | GENERIC_READ)))
            return fail(ERROR_ACCESS_DENIED);
        if (move.StartingVcn.QuadPart < 0 || move.StartingLcn.QuadPart < 0) return fail(ERROR_INVALID_PARAMETER);
        const uint64_t startVcn = static_cast<uint64_t>(move.StartingVcn.QuadPart);
        const uint64_t target = static_cast<uint64_t>(move.StartingLcn.QuadPart);
        DWORD error = s.checkMove(*n, startVcn, move.ClusterCount, target);
        if (error != ERROR_SUCCESS) return fail(error);
        std::vector<uint8_t> record;
        ByteWriter w(record);
        w.u8(kOpMove);
        w.u32(id);
        w.u64(startVcn);
        w.u64(move.ClusterCount);
        w.u64(target);
        if (s.journal) {
            error = s.journal->write(record);
            if (error != ERROR_SUCCESS) return fail(error);
        }
        s.applyMove(id, startVcn, move.ClusterCount, target);
        return TRUE;
    }

    case IOCTL_STORAGE_QUERY_PROPERTY:
        if (!device) return fail(ERROR_INVALID_FUNCTION);
        return storageProperty(s, in, inSize, out, outSize, bytesReturned);

    default: return fail(ERROR_INVALID_FUNCTION);
    }
}
