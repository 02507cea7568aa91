#include "volume/dfrg_file.h"

#include <algorithm>
#include <vector>

#include "logging/log.h"
#include "platform/last_error.h"
#include "platform/dfrg_exception.h"
#include "volume/dfrg_volume.h"

namespace {

constexpr DWORD kRetrievalBufferBytes = 4112;  // header and room for 256 extents
constexpr size_t kRetrievalHeader = offsetof(RETRIEVAL_POINTERS_BUFFER, Extents);
constexpr size_t kRetrievalExtent = 16;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool knownAttributes(DWORD a) { return a != INVALID_FILE_ATTRIBUTES; }

int32_t moveFailure(DWORD error) {
    if (error == ERROR_ACCESS_DENIED) return ERROR_ACCESS_DENIED;
    if (error == ERROR_INVALID_PARAMETER) return ERROR_INVALID_PARAMETER;
    return ErrorFailed;
}

// The code of a failed reopen: the last error, or ErrorFailed when there is none.
int32_t reopenFailure() {
    DWORD error = platform::lastError();
    return error ? static_cast<int32_t>(error) : ErrorFailed;
}

}  // namespace

CDfrgFile::CDfrgFile(CDfrgContext& context, const WString& path, bool directory)
    : context_(context), path_(path), directory_(directory) {
    if (path_.size() < 2 || path_[1] != u':')
        path_ = WString(1, context_.volume().driveLetter()) + u":\\" + path_;
    attributes_ = context_.volume().getFileAttributes(path_);
    if (!open()) {
        const DWORD error = platform::lastError();
        throw CDfrgException(static_cast<int32_t>(error), "Couldn't open file " + platform::utf16ToUtf8(path_));
    }
    addPauseListener(this);
}

CDfrgFile::~CDfrgFile() {
    removePauseListener(this);
    close();
}

void CDfrgFile::onPause() { close(); }

void CDfrgFile::close() { handle_.reset(); }

bool CDfrgFile::open() {
    CDfrgVolume& volume = context_.volume();
    DWORD access = FILE_READ_ATTRIBUTES;
    // Encrypted data moves only through a handle that may read it.
    if (knownAttributes(attributes_) && (attributes_ & FILE_ATTRIBUTE_ENCRYPTED)) access |= FILE_READ_DATA;
    const DWORD flags = directory_ ? FILE_FLAG_BACKUP_SEMANTICS : FILE_FLAG_NO_BUFFERING;
    HANDLE h = volume.createFile(path_, access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_.reset({&volume, h});
    return true;
}

bool CDfrgFile::ensureOpen() { return handle_.valid() || open(); }

uint64_t CDfrgFile::size() {
    if (!ensureOpen()) return 0;
    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (!context_.volume().getFileSize(handle_.get().handle, &size)) return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

uint64_t CDfrgFile::moveGranularity() const {
    if (knownAttributes(attributes_) && (attributes_ & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE)))
        return 16;
    return 1;
}

bool CDfrgFile::getFileExtents(CFileExtentList& list) {
    list.clear();
    bool compressed = knownAttributes(attributes_) &&
                      (attributes_ & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE));
    std::vector<uint64_t> storage((kRetrievalBufferBytes + 7) / 8);
    auto* buffer = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(storage.data());
    uint64_t nextVcn = 0;
    LogScope scope("getFileExtents");
    auto malformed = [&] {
        LogMessage(scope, LogPriority::Debug)
            .text("The File has a not first Zero VCN entry !")
            .prop("FileSystem", fileSystemTypeName(context_.volume().fileSystemType()));
        return false;
    };

    for (;;) {
        if (!ensureOpen()) return false;
        DWORD returned = 0;
        BOOL ok = context_.volume().getRetrievalPointers(handle_.get().handle, static_cast<LONGLONG>(nextVcn), buffer,
                                                         kRetrievalBufferBytes, &returned);
        const DWORD error = ok ? ERROR_SUCCESS : platform::lastError();
        if (!ok) {
            // A file without clusters of its own (or none after nextVcn) ends here.
            if (error == ERROR_HANDLE_EOF) return true;
            if (error != ERROR_MORE_DATA) return false;
        }
        size_t count = buffer->ExtentCount;
        // Never trust a count beyond what the buffer (or the bytes returned) can hold.
        const size_t capacity = (kRetrievalBufferBytes - kRetrievalHeader) / kRetrievalExtent;
        if (count > capacity || (returned >= kRetrievalHeader && count > (returned - kRetrievalHeader) / kRetrievalExtent))
            return malformed();
        if (count == 0) return true;
        bool result = true;
        const LONGLONG startingVcn = buffer->StartingVcn.QuadPart;
        if (startingVcn < 0 || static_cast<uint64_t>(startingVcn) < nextVcn) return malformed();
        {
            uint64_t previous = static_cast<uint64_t>(startingVcn);
            for (size_t i = 0; i < count; ++i) {
                const LONGLONG next = buffer->Extents[i].NextVcn.QuadPart;
                const LONGLONG lcn = buffer->Extents[i].Lcn.QuadPart;
                // Each entry must end after it begins; the file system sometimes hands back a
                // record that does not.
                if ((i > 0 && next == 0) || next <= 0 || static_cast<uint64_t>(next) <= previous || lcn < -1)
                    return malformed();
                const uint64_t n = static_cast<uint64_t>(next) - previous;
                const CExtent vcn(previous, static_cast<uint64_t>(next) - 1);
                if (lcn != -1) {
                    const uint64_t at = static_cast<uint64_t>(lcn);
                    if (at > kNoCluster - 1 - n) return malformed();
                    CFileExtent* last = list.empty() ? nullptr : &list.back();
                    if (i > 0 && last && last->lcn.end != kNoCluster && last->lcn.end + 1 == at) {
                        last->vcn.end += n;
                        last->lcn.end += n;
                        if (compressed) {
                            if (!last->runs) last->runs = std::make_unique<CRunList>();
                            last->runs->add(n, n);
                        }
                    } else {
                        list.emplace_back(vcn, CExtent(at, at + n - 1));
                        if (compressed) {
                            list.back().runs = std::make_unique<CRunList>();
                            list.back().runs->add(n, n);
                        }
                    }
                } else {
                    // A virtual run continues the record before it, also when it opens a later
                    // buffer; only a file that begins with one has no record to continue.
                    if (list.empty()) {
                        result = false;
                        break;
                    }
                    if (!compressed) {
                        CFileExtent& last = list.back();
                        last.runs = std::make_unique<CRunList>();
                        const uint64_t m = last.lcn.size();
                        last.runs->add(m, m);
                        compressed = true;
                    }
                    CFileExtent& last = list.back();
                    if (!last.runs) last.runs = std::make_unique<CRunList>();
                    if (previous != last.vcn.end + 1) {
                        const uint64_t gap = previous - (last.vcn.end + 1);
                        last.vcn.end += gap;
                        last.runs->extendLast(gap, 0);
                    }
                    last.vcn.end += n;
                    last.runs->extendLast(n, 0);
                }
                previous = static_cast<uint64_t>(next);
            }
        }
        nextVcn = static_cast<uint64_t>(buffer->Extents[count - 1].NextVcn.QuadPart);
        if (error == ERROR_MORE_DATA && result) {
            checkState(context_);
            continue;
        }
        return result;
    }
}

uint64_t CDfrgFile::moveChunk(uint64_t wanted) const {
    const uint64_t limit = context_.settings().maxClusterMoveCount;
    uint64_t chunk = limit == 0 ? wanted : std::min(wanted, limit);
    if (chunk > 0xFFFFFFFFull) chunk = 0xFFFFFFFFull;
    const uint64_t g = moveGranularity();
    if (chunk > g && chunk % g != 0) chunk -= chunk % g;
    return chunk;
}

int32_t CDfrgFile::moveSteps(uint64_t target, uint64_t count, uint64_t vcn, uint64_t chunk,
                             const CFileExtentList& extents, bool refreshOnFailure) {
    CDfrgVolume& volume = context_.volume();
    for (uint64_t moved = 0; moved < count;) {
        if (!ensureOpen()) return reopenFailure();
        const uint64_t n = std::min(chunk, count - moved);
        uint64_t boundaryVcn, boundaryLcn;
        if (!vcnBoundary(extents, vcn + n, moveGranularity(), boundaryVcn, boundaryLcn) || boundaryVcn <= vcn ||
            boundaryVcn - vcn > 0xFFFFFFFFull)
            return ErrorInternal;
        const uint64_t stepCount = boundaryVcn - vcn;
        MOVE_FILE_DATA move;
        move.FileHandle = handle_.get().handle;
        move.StartingVcn.QuadPart = static_cast<LONGLONG>(vcn);
        move.StartingLcn.QuadPart = static_cast<LONGLONG>(target);
        move.ClusterCount = static_cast<DWORD>(stepCount);
        const uint64_t allocated = allocatedClusters(extents, vcn, vcn + stepCount - 1);
        if (allocated == kNoCluster) return ErrorInternal;
        if (!volume.moveFile(move)) {
            const DWORD error = platform::lastError();
            // The free space at the target was not what the snapshot said. Only that range can
            // have been wrong; the caller brings the file's own clusters up to date.
            if (refreshOnFailure && allocated > 0 && ensureOpen())
                context_.refreshSnapshot(target, target + allocated - 1);
            return moveFailure(error);
        }
        context_.addClustersMoved(allocated);
        target += allocated;
        vcn += stepCount;
        moved += stepCount;
        checkState(context_);
    }
    return 0;
}

int32_t CDfrgFile::moveClustersTo(uint64_t targetLcn, uint64_t count, uint64_t startVcn) {
    const uint64_t limit = context_.settings().maxClusterMoveCount;
    if (limit != 0 && moveGranularity() > limit) return ErrorImpossible;
    const uint64_t chunk = moveChunk(count);
    CFileExtentList extents;
    if (!getFileExtents(extents)) return ErrorFailed;
    return moveSteps(targetLcn, count, startVcn, chunk, extents, false);
}

int32_t CDfrgFile::shiftFileLeft(uint64_t distance) {
    CFileExtentList extents;
    if (!getFileExtents(extents)) return ErrorFailed;
    const uint64_t total = totalVirtualClusters(extents);
    if (extents.empty() || extents.front().lcn.start == kNoCluster) return ErrorInternal;
    const uint64_t first = extents.front().lcn.start;
    const uint64_t limit = context_.settings().maxClusterMoveCount;
    const uint64_t g = moveGranularity();
    if (limit != 0 && g > limit) return ErrorImpossible;
    // A shift past the start of the volume is as impossible as one smaller than a unit.
    if (distance < g || distance > first) return ErrorImpossible;
    return moveSteps(first - distance, total, 0, moveChunk(distance), extents, true);
}

void listDirectory(CDfrgVolume& volume, const WString& directory, std::vector<CDirEntry>& out, bool withFiles) {
    WIN32_FIND_DATAW data;
    HANDLE h = volume.findFirstFile(directory + u"\\*.*", &data);
    if (h == INVALID_HANDLE_VALUE) return;
    platform::UniqueResource<VolumeFindHandleTraits> find({&volume, h});
    do {
        data.cFileName[MAX_PATH - 1] = 0;
        const WString name(asUtf16(data.cFileName));
        const DWORD attributes = data.dwFileAttributes;
        const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isDirectory ? (name != u"." && name != u"..")
                        : (withFiles && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
            out.push_back({name, isDirectory, attributes});
    } while (volume.findNextFile(h, &data));
}
