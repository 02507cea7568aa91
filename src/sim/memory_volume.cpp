// The memory volume's Windows calls: files and handles, directory enumeration, volume facts,
// faults and inspection. The model and its journal are in memory_volume_model.cpp, change feeds
// in memory_volume_feed.cpp, device controls in memory_volume_fsctl.cpp, persistence and checks
// in memory_volume_store.cpp.
#include "sim/memory_volume.h"

#include <algorithm>
#include <cstring>

#include "platform/last_error.h"
#include "volume/dfrg_volume.h"
#include "sim/memory_volume_state.h"

using namespace memvol;

namespace {

template <class T>
T fail(DWORD error, T result) {
    platform::setLastError(error);
    return result;
}

HANDLE toHandle(uintptr_t value) { return reinterpret_cast<HANDLE>(value); }
uintptr_t fromHandle(HANDLE h) { return reinterpret_cast<uintptr_t>(h); }

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

WString stripLongPrefix(const WString& path) {
    if (path.size() >= 4 && path.compare(0, 4, u"\\\\?\\") == 0) return path.substr(4);
    return path;
}

bool isDevicePath(const WString& path, char16_t& letter) {
    if (path.size() == 6 && path.compare(0, 4, u"\\\\.\\") == 0 && path[5] == u':') {
        letter = path[4];
        return true;
    }
    return false;
}

// Case-insensitive match of a name against a pattern with * and ?; "*.*" matches every name.
bool matchPattern(const WString& pattern, const WString& name) {
    if (pattern == u"*.*" || pattern == u"*") return true;
    size_t p = 0, n = 0, starP = WString::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == u'?' || upper(pattern[p]) == upper(name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (starP != WString::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

bool hasWildcard(const WString& s) { return s.find_first_of(u"*?") != WString::npos; }

void fillFindData(const FindEntry& e, WIN32_FIND_DATAW* data) {
    std::memset(data, 0, sizeof *data);
    data->dwFileAttributes = e.attributes;
    data->nFileSizeHigh = static_cast<DWORD>(e.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(e.size);
    size_t n = std::min<size_t>(e.name.size(), MAX_PATH - 1);
    char16_t* out = asUtf16(data->cFileName);
    std::copy(e.name.begin(), e.name.begin() + static_cast<std::ptrdiff_t>(n), out);
    out[n] = 0;
}

bool copyText(const WString& text, WCHAR* out, DWORD size) {
    if (!out) return true;
    if (size <= text.size()) return false;
    char16_t* o = asUtf16(out);
    std::copy(text.begin(), text.end(), o);
    o[text.size()] = 0;
    return true;
}

uint64_t ceilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

// Index blocks a directory of this many entries needs; small ones live in the file record.
uint64_t indexClustersFor(size_t entries) { return entries <= 16 ? 0 : (entries + 31) / 32; }

uint64_t lastRealLcn(const Node& n) {
    for (auto it = n.runs.rbegin(); it != n.runs.rend(); ++it)
        if (it->lcn != kVirtual) return it->lcn + it->length - 1;
    return kVirtual;
}


}  // namespace


// ---------------------------------------------------------------- path helpers

namespace {

struct Resolved {
    DWORD error = ERROR_SUCCESS;
    uint32_t parent = kNoNode;  // directory that holds (or would hold) the leaf
    uint32_t id = kNoNode;      // the leaf, kNoNode when missing
    uint32_t entry = kNoNode;   // the leaf's entry in its directory (a file id or a further name)
    WString leaf;               // empty for the root
    WString key;                // normalised path, for fault lookup
};

std::vector<WString> splitComponents(const WString& rest) {
    std::vector<WString> parts;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = i;
        while (j < rest.size() && !isSeparator(rest[j])) ++j;
        WString part = rest.substr(i, j - i);
        if (part == u"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    return parts;
}

// Windows refuses a plain path of MAX_PATH characters or more; the "\\?\" form reaches 32767.
DWORD pathLengthError(const WString& path) {
    if (path.size() >= 4 && path.compare(0, 4, u"\\\\?\\") == 0)
        return path.size() > 32767 ? ERROR_FILENAME_EXCED_RANGE : ERROR_SUCCESS;
    return path.size() >= MAX_PATH ? ERROR_PATH_NOT_FOUND : ERROR_SUCCESS;
}

// `windowsCall`: the path comes through a call that keeps the Windows path-length rules.
Resolved resolve(const CMemoryVolume::State& s, const WString& rawPath, bool windowsCall = true) {
    Resolved r;
    if (windowsCall) r.error = pathLengthError(rawPath);
    if (r.error != ERROR_SUCCESS) return r;
    const WString path = stripLongPrefix(rawPath);
    if (path.size() < 2 || path[1] != u':' || upper(path[0]) != upper(s.letter) ||
        (path.size() > 2 && !isSeparator(path[2]))) {
        r.error = ERROR_PATH_NOT_FOUND;
        return r;
    }
    std::vector<WString> parts = splitComponents(path.substr(2));
    r.key = WString(1, upper(s.letter)) + u":";
    for (const WString& p : parts) r.key += u"\\" + p;
    if (parts.empty()) {
        r.id = kRoot;
        return r;
    }
    uint32_t dir = kRoot;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const uint32_t entry = s.findChild(*s.node(dir), parts[i]);
        if (entry == kNoNode || !s.node(s.entryNode(entry))->directory) {
            r.error = ERROR_PATH_NOT_FOUND;
            return r;
        }
        dir = s.entryNode(entry);
    }
    r.parent = dir;
    r.leaf = parts.back();
    r.entry = s.findChild(*s.node(dir), r.leaf);
    if (r.entry != kNoNode) r.id = s.entryNode(r.entry);
    return r;
}

HANDLE newHandle(CMemoryVolume::State& s, HandleEntry entry) {
    uintptr_t value = s.nextHandle;
    s.nextHandle += 4;
    s.handles.emplace(value, std::move(entry));
    return toHandle(value);
}

DWORD commit(CMemoryVolume::State& s, const std::vector<uint8_t>& record) {
    return s.journal ? s.journal->write(record) : ERROR_SUCCESS;
}

void releaseRuns(CMemoryVolume::State& s, const std::vector<Run>& runs) {
    for (const Run& r : runs)
        if (r.lcn != kVirtual) s.markFree(r.lcn, r.length);
}

void writeExtend(ByteWriter& w, uint32_t id, uint64_t newSize, const std::vector<Run>& runs) {
    w.u8(kOpExtend);
    w.u32(id);
    w.u64(newSize);
    w.u32(static_cast<uint32_t>(runs.size()));
    for (const Run& r : runs) {
        w.u64(r.lcn);
        w.u64(r.length);
    }
}

// Creates a node with its runs, growing the parent's index when it needs another block.
// Runs must already be reserved in the bitmap; they are released again on failure.
DWORD createNode(CMemoryVolume::State& s, uint32_t parent, const WString& name, bool directory, DWORD attributes,
                 uint64_t size, const std::vector<Run>& runs, uint32_t& id) {
    Node* p = s.node(parent);
    const uint64_t need = indexClustersFor(p->children().size() + 1), have = p->totalVcn();
    std::vector<Run> growth;
    if (need > have) {
        growth = s.allocate(need - have, lastRealLcn(*p));
        if (growth.empty()) {
            releaseRuns(s, runs);
            return ERROR_DISK_FULL;
        }
    }
    std::vector<uint8_t> record;
    ByteWriter w(record);
    w.u8(kOpCreate);
    w.u32(parent);
    w.u8(directory ? 1 : 0);
    w.u32(attributes);
    w.text(name);
    const uint32_t newId = static_cast<uint32_t>(s.nodes.size());
    if (!runs.empty() || size != 0) writeExtend(w, newId, size, runs);
    if (!growth.empty()) writeExtend(w, parent, need * s.geometry.bytesPerCluster, growth);
    DWORD error = commit(s, record);
    if (error != ERROR_SUCCESS) {
        releaseRuns(s, runs);
        releaseRuns(s, growth);
        return error;
    }
    s.applyCreate(parent, name, directory, attributes, id);
    if (!runs.empty() || size != 0) s.applyExtend(id, size, runs, true);
    if (!growth.empty()) s.applyExtend(parent, need * s.geometry.bytesPerCluster, growth, true);
    return ERROR_SUCCESS;
}

constexpr DWORD kAttributeMask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE | 0x100 /* temporary */ | FILE_ATTRIBUTE_SPARSE_FILE |
                                 FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_COMPRESSED | 0x1000 /* offline */ |
                                 0x2000 /* not indexed */ | FILE_ATTRIBUTE_ENCRYPTED;

}  // namespace

// ---------------------------------------------------------------- construction

CMemoryVolume::CMemoryVolume(const Geometry& geometry, char16_t driveLetter) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.geometry = geometry;
    s.letter = driveLetter;
    const uint64_t total = geometry.totalClusters;
    s.bitmap.assign(static_cast<size_t>((total + 63) / 64), 0);
    // Bits past the end count as used, so that searches never run off the volume.
    if (total % 64) s.bitmap.back() = ~0ull << (total % 64);
    s.freeClusters = total;
    s.tags.reset(static_cast<size_t>(total));
    auto root = std::make_unique<Node>();
    root->directory = true;
    s.nodes.push_back(std::move(root));
}

CMemoryVolume::~CMemoryVolume() = default;

CMemoryVolume::Geometry CMemoryVolume::geometry() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_->geometry;
}

char16_t CMemoryVolume::driveLetter() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_->letter;
}

void CMemoryVolume::setDriveLetter(char16_t letter) {
    std::lock_guard<std::mutex> g(lock_);
    state_->letter = letter;
}

// ---------------------------------------------------------------- files and handles

HANDLE CMemoryVolume::createFile(const WString& path, DWORD access, DWORD, DWORD disposition, DWORD flagsAndAttributes) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, INVALID_HANDLE_VALUE);
    char16_t letter;
    if (isDevicePath(path, letter)) {
        if (upper(letter) != upper(s.letter)) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        if (s.deviceDenials > 0) {
            --s.deviceDenials;
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        }
        HandleEntry e;
        e.kind = HandleEntry::Kind::Device;
        e.access = access;
        return newHandle(s, std::move(e));
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    Resolved r = resolve(s, path);
    if (r.error != ERROR_SUCCESS) return fail(r.error, INVALID_HANDLE_VALUE);
    auto fault = s.openFaults.find(r.key);
    if (fault != s.openFaults.end()) return fail(fault->second, INVALID_HANDLE_VALUE);
    const bool backup = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;

    DWORD createdError = ERROR_SUCCESS;
    if (r.id != kNoNode) {
        const Node* n = s.node(r.id);
        if (disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
        // Directories open only for backup semantics, and never for writing over them.
        if (n->directory && (!backup || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING))
            return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
            if (n->size != 0 || !n->runs.empty()) {
                std::vector<uint8_t> record;
                ByteWriter w(record);
                w.u8(kOpTruncate);
                w.u32(r.id);
                DWORD error = commit(s, record);
                if (error != ERROR_SUCCESS) return fail(error, INVALID_HANDLE_VALUE);
                s.applyTruncate(r.id);
                s.notify(FILE_ACTION_MODIFIED, r.id);
            }
        }
        if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) createdError = ERROR_ALREADY_EXISTS;
    } else {
        if (r.leaf.empty()) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
        if (!validName(r.leaf)) return fail(ERROR_INVALID_NAME, INVALID_HANDLE_VALUE);
        DWORD error = createNode(s, r.parent, r.leaf, false, flagsAndAttributes & kAttributeMask, 0, {}, r.id);
        if (error != ERROR_SUCCESS) return fail(error, INVALID_HANDLE_VALUE);
        s.notify(FILE_ACTION_ADDED, r.id);
    }
    HandleEntry e;
    e.kind = HandleEntry::Kind::File;
    e.node = r.id;
    e.access = access;
    HANDLE h = newHandle(s, std::move(e));
    platform::setLastError(createdError);
    return h;
}

BOOL CMemoryVolume::closeHandle(HANDLE handle) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = state_->handles.find(fromHandle(handle));
    if (it == state_->handles.end() || it->second.kind == HandleEntry::Kind::Find)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    state_->handles.erase(it);
    return TRUE;
}

BOOL CMemoryVolume::getFileSize(HANDLE file, LARGE_INTEGER* size) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    auto it = s.handles.find(fromHandle(file));
    if (it == s.handles.end() || it->second.kind == HandleEntry::Kind::Find) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (it->second.kind == HandleEntry::Kind::Device) return fail(ERROR_INVALID_FUNCTION, FALSE);
    const Node* n = s.node(it->second.node);
    if (!n) return fail(ERROR_ACCESS_DENIED, FALSE);  // deleted while open: delete pending
    size->QuadPart = static_cast<LONGLONG>(n->size);
    return TRUE;
}

DWORD CMemoryVolume::getFileAttributes(const WString& path) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, INVALID_FILE_ATTRIBUTES);
    Resolved r = resolve(s, path);
    if (r.error != ERROR_SUCCESS) return fail(r.error, INVALID_FILE_ATTRIBUTES);
    if (r.id == kNoNode) return fail(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    return s.node(r.id)->reportedAttributes();
}

BOOL CMemoryVolume::createDirectory(const WString& path) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    Resolved r = resolve(s, path);
    if (r.error != ERROR_SUCCESS) return fail(r.error, FALSE);
    if (r.id != kNoNode) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (!validName(r.leaf)) return fail(ERROR_INVALID_NAME, FALSE);
    uint32_t id;
    DWORD error = createNode(s, r.parent, r.leaf, true, 0, 0, {}, id);
    if (error != ERROR_SUCCESS) return fail(error, FALSE);
    return TRUE;
}

namespace {

// Grows a file by `bytes`: new clusters from the allocator, one record, a notification.
BOOL appendImpl(CMemoryVolume::State& s, uint32_t id, uint64_t bytes) {
    Node* n = s.node(id);
    if (!n || n->directory) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (bytes == 0) return TRUE;
    if (bytes > (1ull << 50) - n->size) return fail(ERROR_DISK_FULL, FALSE);
    const uint64_t newSize = n->size + bytes;
    const uint64_t bpc = s.geometry.bytesPerCluster;
    const uint64_t have = n->totalVcn();
    uint64_t need = 0;
    if (!(n->runs.empty() && newSize <= CMemoryVolume::kResidentLimit)) {
        need = ceilDiv(newSize, bpc);
        if (n->unitAllocated()) need = ceilDiv(need, kUnit) * kUnit;
    }
    std::vector<Run> added;
    if (need > have) {
        if (n->attributes & FILE_ATTRIBUTE_COMPRESSED) {
            // Each compression unit keeps as many clusters as its data compresses to.
            uint64_t after = lastRealLcn(*n);
            for (uint64_t unit = have / kUnit; unit < need / kUnit; ++unit) {
                uint64_t keep = 1 + CMemoryVolume::clusterTag(id, unit * kUnit) % kUnit;
                std::vector<Run> got = s.allocate(keep, after);
                if (got.empty()) {
                    releaseRuns(s, added);
                    return fail(ERROR_DISK_FULL, FALSE);
                }
                for (const Run& r : got) appendRun(added, r);
                after = got.back().lcn + got.back().length - 1;
                if (keep < kUnit) appendRun(added, {kVirtual, kUnit - keep});
            }
        } else {
            added = s.allocate(need - have, lastRealLcn(*n));
            if (added.empty()) return fail(ERROR_DISK_FULL, FALSE);
        }
    }
    std::vector<uint8_t> record;
    ByteWriter w(record);
    writeExtend(w, id, newSize, added);
    DWORD error = commit(s, record);
    if (error != ERROR_SUCCESS) {
        releaseRuns(s, added);
        return fail(error, FALSE);
    }
    s.applyExtend(id, newSize, added, true);
    s.notify(FILE_ACTION_MODIFIED, id);
    return TRUE;
}

}  // namespace

BOOL CMemoryVolume::appendToFile(HANDLE file, uint64_t bytes) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    auto it = s.handles.find(fromHandle(file));
    if (it == s.handles.end() || it->second.kind != HandleEntry::Kind::File) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (!(it->second.access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA))) return fail(ERROR_ACCESS_DENIED, FALSE);
    return appendImpl(s, it->second.node, bytes);
}

BOOL CMemoryVolume::appendById(uint32_t id, uint64_t bytes) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    return appendImpl(s, id, bytes);
}

namespace {

// Removes one name of a file; the file goes with its last name.
BOOL removeName(CMemoryVolume::State& s, uint32_t parent, uint32_t entry) {
    const uint32_t id = s.entryNode(entry);
    if (s.node(id)->directory) return fail(ERROR_ACCESS_DENIED, FALSE);
    std::vector<uint8_t> record;
    ByteWriter w(record);
    const bool lastName = !s.hasLinks(id);
    if (lastName) {
        w.u8(kOpDelete);
        w.u32(id);
    } else {
        w.u8(kOpUnlink);
        w.u32(parent);
        w.text(s.entryName(entry));
    }
    DWORD error = commit(s, record);
    if (error != ERROR_SUCCESS) return fail(error, FALSE);
    s.notify(FILE_ACTION_REMOVED, id);
    if (lastName) s.applyDelete(id);
    else s.applyUnlink(parent, WString(s.entryName(entry)));
    return TRUE;
}

}  // namespace

BOOL CMemoryVolume::deleteFile(const WString& path) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    Resolved r = resolve(s, path);
    if (r.error != ERROR_SUCCESS) return fail(r.error, FALSE);
    if (r.id == kNoNode) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    return removeName(s, r.parent, r.entry);
}

BOOL CMemoryVolume::deleteById(uint32_t id) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    const Node* n = s.node(id);
    if (!n || id == kRoot) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (n->directory) return fail(ERROR_ACCESS_DENIED, FALSE);
    std::vector<uint8_t> record;
    ByteWriter w(record);
    w.u8(kOpDelete);
    w.u32(id);
    DWORD error = commit(s, record);
    if (error != ERROR_SUCCESS) return fail(error, FALSE);
    s.notify(FILE_ACTION_REMOVED, id);
    s.applyDelete(id);
    return TRUE;
}

uint32_t CMemoryVolume::createById(uint32_t parent, const WString& name, DWORD attributes) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, kNoFile);
    const Node* p = s.node(parent);
    if (!p || !p->directory) return fail(ERROR_PATH_NOT_FOUND, kNoFile);
    if (!validName(name)) return fail(ERROR_INVALID_NAME, kNoFile);
    if (s.findChild(*p, name) != kNoNode) return fail(ERROR_FILE_EXISTS, kNoFile);
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    uint32_t id;
    DWORD error = createNode(s, parent, name, directory, directory ? 0 : attributes & kAttributeMask, 0, {}, id);
    if (error != ERROR_SUCCESS) return fail(error, kNoFile);
    if (!directory) s.notify(FILE_ACTION_ADDED, id);
    return id;
}

BOOL CMemoryVolume::createHardLink(const WString& newPath, const WString& existingPath) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    Resolved from = resolve(s, existingPath);
    if (from.error != ERROR_SUCCESS) return fail(from.error, FALSE);
    if (from.id == kNoNode) return fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (s.node(from.id)->directory) return fail(ERROR_ACCESS_DENIED, FALSE);
    Resolved to = resolve(s, newPath);
    if (to.error != ERROR_SUCCESS) return fail(to.error, FALSE);
    if (to.id != kNoNode) return fail(ERROR_ALREADY_EXISTS, FALSE);
    if (!validName(to.leaf)) return fail(ERROR_INVALID_NAME, FALSE);
    std::vector<uint8_t> record;
    ByteWriter w(record);
    w.u8(kOpLink);
    w.u32(from.id);
    w.u32(to.parent);
    w.text(to.leaf);
    DWORD error = commit(s, record);
    if (error != ERROR_SUCCESS) return fail(error, FALSE);
    s.applyLink(from.id, to.parent, to.leaf);
    return TRUE;
}

bool CMemoryVolume::placeFile(const WString& path, DWORD attributes, uint64_t size, const std::vector<Run>& runs) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, false);
    Resolved r = resolve(s, path, false);
    if (r.error != ERROR_SUCCESS) return fail(r.error, false);
    if (r.id != kNoNode) return fail(ERROR_FILE_EXISTS, false);
    if (!validName(r.leaf)) return fail(ERROR_INVALID_NAME, false);
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool units = !directory && (attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE));
    std::vector<Run> reserved;
    uint64_t vcns = 0;
    for (const Run& run : runs) {
        bool bad = run.length == 0 || (run.lcn == kVirtual && !units) ||
                   (run.lcn != kVirtual && !s.rangeFree(run.lcn, run.length));
        if (bad) {
            releaseRuns(s, reserved);
            return fail(ERROR_INVALID_PARAMETER, false);
        }
        if (run.lcn != kVirtual) {
            s.markUsed(run.lcn, run.length);
            reserved.push_back(run);
        }
        vcns += run.length;
    }
    if (directory) size = vcns * s.geometry.bytesPerCluster;
    Node probe;
    probe.directory = directory;
    probe.attributes = attributes & kAttributeMask;
    probe.size = size;
    probe.runs = runs;
    if (!sizeFitsAllocation(probe, s.geometry.bytesPerCluster)) {
        releaseRuns(s, reserved);
        return fail(ERROR_INVALID_PARAMETER, false);
    }
    uint32_t id;
    DWORD error = createNode(s, r.parent, r.leaf, directory, attributes & kAttributeMask, size, runs, id);
    if (error != ERROR_SUCCESS) return fail(error, false);
    if (!directory) s.notify(FILE_ACTION_ADDED, id);
    return true;
}

// ---------------------------------------------------------------- enumeration

HANDLE CMemoryVolume::findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, INVALID_HANDLE_VALUE);
    if (DWORD error = pathLengthError(pattern)) return fail(error, INVALID_HANDLE_VALUE);
    // The last component is the pattern; what comes before it names the directory.
    const WString path = stripLongPrefix(pattern);
    size_t cut = path.find_last_of(u"\\/");
    if (cut == WString::npos || cut + 1 >= path.size()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    const WString leaf = path.substr(cut + 1);
    Resolved dir = resolve(s, path.substr(0, cut + 1), false);
    if (dir.error != ERROR_SUCCESS || dir.id == kNoNode || !s.node(dir.id)->directory)
        return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    const Node* d = s.node(dir.id);
    HandleEntry e;
    e.kind = HandleEntry::Kind::Find;
    if (hasWildcard(leaf)) {
        if (dir.id != kRoot) {
            for (const char16_t* dots : {u".", u".."})
                if (matchPattern(leaf, dots)) e.entries.push_back({dots, FILE_ATTRIBUTE_DIRECTORY, 0});
        }
        for (uint32_t child : d->children()) {
            const WString& name = s.entryName(child);
            if (!matchPattern(leaf, name)) continue;
            const Node* c = s.node(s.entryNode(child));
            e.entries.push_back({name, c->reportedAttributes(), c->directory ? 0 : c->size});
        }
    } else {
        const uint32_t child = s.findChild(*d, leaf);
        if (child != kNoNode) {
            const Node* c = s.node(s.entryNode(child));
            e.entries.push_back({s.entryName(child), c->reportedAttributes(), c->directory ? 0 : c->size});
        }
    }
    if (e.entries.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    fillFindData(e.entries[0], data);
    e.next = 1;
    return newHandle(s, std::move(e));
}

BOOL CMemoryVolume::findNextFile(HANDLE find, WIN32_FIND_DATAW* data) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    auto it = s.handles.find(fromHandle(find));
    if (it == s.handles.end() || it->second.kind != HandleEntry::Kind::Find) return fail(ERROR_INVALID_HANDLE, FALSE);
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    HandleEntry& e = it->second;
    if (e.next >= e.entries.size()) return fail(ERROR_NO_MORE_FILES, FALSE);
    fillFindData(e.entries[e.next++], data);
    return TRUE;
}

BOOL CMemoryVolume::findClose(HANDLE find) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = state_->handles.find(fromHandle(find));
    if (it == state_->handles.end() || it->second.kind != HandleEntry::Kind::Find)
        return fail(ERROR_INVALID_HANDLE, FALSE);
    state_->handles.erase(it);
    return TRUE;
}

// ---------------------------------------------------------------- volume facts

BOOL CMemoryVolume::getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength,
                                         DWORD* flags, WCHAR* fileSystemName, DWORD fileSystemNameSize) {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    if (s.volumeInformationError) return fail(s.volumeInformationError, FALSE);
    if (!copyText(s.geometry.label, label, labelSize) ||
        !copyText(s.geometry.fileSystemName, fileSystemName, fileSystemNameSize))
        return fail(ERROR_BAD_LENGTH, FALSE);
    if (serial) *serial = s.geometry.serialNumber;
    if (maxComponentLength) *maxComponentLength = 255;
    // Case-preserving Unicode names, compression, sparse files, reparse points, encryption.
    if (flags) *flags = 0x000200FFu;
    return TRUE;
}

BOOL CMemoryVolume::getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                                     DWORD* totalClusters) {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    if (s.gone) return fail(ERROR_NOT_READY, FALSE);
    const Geometry& geo = s.geometry;
    if (sectorsPerCluster) *sectorsPerCluster = geo.bytesPerSector ? geo.bytesPerCluster / geo.bytesPerSector : 0;
    if (bytesPerSector) *bytesPerSector = geo.bytesPerSector;
    if (freeClusters) *freeClusters = static_cast<DWORD>(std::min<uint64_t>(s.freeClusters, 0xFFFFFFFFu));
    if (totalClusters) *totalClusters = static_cast<DWORD>(std::min<uint64_t>(geo.totalClusters, 0xFFFFFFFFu));
    return TRUE;
}

// ---------------------------------------------------------------- faults

void CMemoryVolume::refuseMoves(DWORD error, uint32_t count) {
    std::lock_guard<std::mutex> g(lock_);
    state_->moveFaultError = error;
    state_->moveFaultCount = count;
}

void CMemoryVolume::setOpenFault(const WString& path, DWORD error) {
    std::lock_guard<std::mutex> g(lock_);
    State& s = *state_;
    WString key = WString(1, upper(s.letter)) + u":";
    const WString p = stripLongPrefix(path);
    for (const WString& part : splitComponents(p.size() >= 2 && p[1] == u':' ? p.substr(2) : p)) key += u"\\" + part;
    if (error == ERROR_SUCCESS) s.openFaults.erase(key);
    else s.openFaults[key] = error;
}

void CMemoryVolume::denyDeviceOpens(uint32_t count) {
    std::lock_guard<std::mutex> g(lock_);
    state_->deviceDenials = count;
}

void CMemoryVolume::failVolumeInformation(DWORD error) {
    std::lock_guard<std::mutex> g(lock_);
    state_->volumeInformationError = error;
}

void CMemoryVolume::answerControl(DWORD code, ControlAnswer answer) {
    std::lock_guard<std::mutex> g(lock_);
    if (answer) state_->controlAnswers[code] = std::move(answer);
    else state_->controlAnswers.erase(code);
}

CMemoryVolume::ControlAnswer CMemoryVolume::controlAnswer(DWORD code) const {
    std::lock_guard<std::mutex> g(lock_);
    const auto& answers = state_->controlAnswers;
    return answers.count(code) ? answers.at(code) : ControlAnswer();
}

void CMemoryVolume::goAway() {
    std::lock_guard<std::mutex> g(lock_);
    state_->gone = true;
    for (auto& q : state_->feeds) q->ready.set();
}

bool CMemoryVolume::isGone() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_->gone;
}

// ---------------------------------------------------------------- inspection

bool CMemoryVolume::fileInfo(const WString& path, FileInfo& info) const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    Resolved r = resolve(s, path, false);
    if (r.error != ERROR_SUCCESS || r.id == kNoNode) return false;
    const Node* n = s.node(r.id);
    info.id = r.id;
    info.directory = n->directory;
    info.attributes = n->reportedAttributes();
    info.size = n->size;
    info.runs = n->runs;
    return true;
}

bool CMemoryVolume::isClusterUsed(uint64_t lcn) const {
    std::lock_guard<std::mutex> g(lock_);
    return lcn < state_->geometry.totalClusters && state_->used(lcn);
}

uint64_t CMemoryVolume::freeClusters() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_->freeClusters;
}

uint64_t CMemoryVolume::movesDone() const {
    std::lock_guard<std::mutex> g(lock_);
    return state_->moves;
}
