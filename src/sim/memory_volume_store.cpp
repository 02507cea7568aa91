// The memory volume's whole state as bytes and back, its integrity check and its statistics.
#include <algorithm>
#include <cstring>

#include "platform/byte_order.h"
#include "sim/memory_volume.h"
#include "sim/memory_volume_state.h"

using namespace memvol;

namespace {

constexpr uint32_t kStateVersion = 2;
// Bounds for reading a damaged state: 2^36 clusters is 256 TiB at 4 KiB.
constexpr uint64_t kMaxClusters = 1ull << 36;
constexpr size_t kMaxProblems = 100;

uint64_t ceilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

std::string narrow(const WString& s) { return platform::utf16ToUtf8(s); }

// Why a file's size does not fit its allocation, or empty.
std::string sizeProblem(const Node& n, uint64_t bpc) {
    const uint64_t vcns = n.totalVcn();
    if (n.directory) return vcns * bpc == n.size ? std::string() : "directory size differs from its allocation";
    for (const Run& r : n.runs)
        if (r.lcn == kVirtual && !n.unitAllocated()) return "virtual run in an ordinary file";
    if (n.runs.empty()) return n.size <= CMemoryVolume::kResidentLimit ? std::string() : "file of this size has no clusters";
    uint64_t need = ceilDiv(n.size, bpc);
    if (n.unitAllocated()) need = ceilDiv(need, kUnit) * kUnit;
    return vcns == need ? std::string() : "file size differs from its allocation";
}

}  // namespace

bool memvol::sizeFitsAllocation(const Node& n, uint64_t bpc) { return sizeProblem(n, bpc).empty(); }

namespace {

// Little-endian numbers and strings into a sink, through a buffer.
class StateWriter {
public:
    explicit StateWriter(CMemoryVolume::StateSink& sink) : sink_(sink) { buffer_.reserve(kBuffer); }
    void u8(uint8_t v) { put(&v, 1); }
    void u32(uint32_t v) {
        uint8_t b[4];
        platform::storeLE32(b, v);
        put(b, 4);
    }
    void u64(uint64_t v) {
        uint8_t b[8];
        platform::storeLE64(b, v);
        put(b, 8);
    }
    void text(const WString& s) {
        u32(static_cast<uint32_t>(s.size()));
        std::vector<uint8_t> b;
        platform::appendUtf16LE(b, s);
        put(b.data(), b.size());
    }
    // Words or cluster data as little-endian bytes, in pieces, so that the sink may be slow
    // without holding a copy.
    template <class T>
    void array(const T* values, size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        flush();
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(values);
        for (size_t done = 0, total = count * sizeof(T); ok_ && done < total;) {
            const size_t n = std::min(kBuffer * 16, total - done);
            ok_ = sink_.write(bytes + done, n);
            done += n;
        }
#else
        for (size_t i = 0; i < count; ++i) sizeof(T) == 8 ? u64(values[i]) : u32(static_cast<uint32_t>(values[i]));
#endif
    }
    bool finish() {
        flush();
        return ok_;
    }

private:
    static constexpr size_t kBuffer = 1 << 20;
    void put(const uint8_t* p, size_t n) {
        if (buffer_.size() + n > kBuffer) flush();
        buffer_.insert(buffer_.end(), p, p + n);
    }
    void flush() {
        if (ok_ && !buffer_.empty()) ok_ = sink_.write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
    CMemoryVolume::StateSink& sink_;
    std::vector<uint8_t> buffer_;
    bool ok_ = true;
};

// The reading side; every read fails once the source has failed or ended.
class StateReader {
public:
    explicit StateReader(CMemoryVolume::StateSource& source) : source_(source) {}
    bool u8(uint8_t& v) { return get(&v, 1); }
    bool u32(uint32_t& v) {
        uint8_t b[4];
        if (!get(b, 4)) return false;
        v = platform::loadLE32(b);
        return true;
    }
    bool u64(uint64_t& v) {
        uint8_t b[8];
        if (!get(b, 8)) return false;
        v = platform::loadLE64(b);
        return true;
    }
    // Strings longer than a name may be are refused, so a damaged count cannot ask for gigabytes.
    bool text(WString& s, uint32_t maxUnits) {
        uint32_t n;
        if (!u32(n) || n > maxUnits || remaining() < uint64_t(n) * 2) return false;
        std::vector<uint8_t> b(size_t(n) * 2);
        if (n != 0 && !get(b.data(), b.size())) return false;
        s = platform::loadUtf16LE(b.data(), n);
        return true;
    }
    template <class T>
    bool array(T* values, size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        return count == 0 || get(reinterpret_cast<uint8_t*>(values), count * sizeof(T));
#else
        for (size_t i = 0; i < count; ++i) {
            uint64_t x = 0;
            uint32_t y = 0;
            if (sizeof(T) == 8 ? !u64(x) : !u32(y)) return false;
            values[i] = static_cast<T>(sizeof(T) == 8 ? x : y);
        }
        return true;
#endif
    }
    uint64_t remaining() const { return ok_ ? source_.remaining() : 0; }

private:
    bool get(uint8_t* p, size_t n) {
        ok_ = ok_ && source_.read(p, n);
        return ok_;
    }
    CMemoryVolume::StateSource& source_;
    bool ok_ = true;
};

// The state as it was first written: no flags, no further names.
constexpr uint32_t kStateVersionWithoutLinks = 1;
constexpr uint8_t kFlagSolidState = 1;

class VectorSink : public CMemoryVolume::StateSink {
public:
    explicit VectorSink(std::vector<uint8_t>& out) : out_(out) {}
    bool write(const uint8_t* data, size_t size) override {
        out_.insert(out_.end(), data, data + size);
        return true;
    }

private:
    std::vector<uint8_t>& out_;
};

class MemorySource : public CMemoryVolume::StateSource {
public:
    MemorySource(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
    bool read(uint8_t* data, size_t size) override {
        if (static_cast<size_t>(end_ - p_) < size) return false;
        std::memcpy(data, p_, size);
        p_ += size;
        return true;
    }
    uint64_t remaining() const override { return static_cast<uint64_t>(end_ - p_); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace

bool CMemoryVolume::serialize(StateSink& sink) const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    StateWriter w(sink);
    w.u32(kStateVersion);
    w.u64(s.geometry.totalClusters);
    w.u32(s.geometry.bytesPerCluster);
    w.u32(s.geometry.bytesPerSector);
    w.u32(s.geometry.serialNumber);
    w.text(s.geometry.label);
    w.text(s.geometry.fileSystemName);
    w.u8(s.geometry.solidState ? kFlagSolidState : 0);
    w.u32(static_cast<uint32_t>(s.nodes.size()));
    for (const auto& n : s.nodes) {
        w.u8(n ? 1 : 0);
        if (!n) continue;
        w.u32(n->parent);
        w.u8(n->directory ? 1 : 0);
        w.u32(n->attributes);
        w.u64(n->size);
        w.text(n->name);
        w.u32(static_cast<uint32_t>(n->runs.size()));
        for (const Run& r : n->runs) {
            w.u64(r.lcn);
            w.u64(r.length);
        }
    }
    uint32_t links = 0;
    for (const Link& l : s.links) links += l.node != kNoNode;
    w.u32(links);
    for (const Link& l : s.links) {
        if (l.node == kNoNode) continue;
        w.u32(l.node);
        w.u32(l.parent);
        w.text(l.name);
    }
    w.u64(s.bitmap.size());
    w.array(s.bitmap.data(), s.bitmap.size());
    w.u64(s.tags.size());
    w.array(s.tags.data(), s.tags.size());
    return w.finish();
}

void CMemoryVolume::serialize(std::vector<uint8_t>& out) const {
    out.clear();
    VectorSink sink(out);
    serialize(sink);
}

std::shared_ptr<CMemoryVolume> CMemoryVolume::deserialize(const uint8_t* data, size_t size, std::string& error) {
    MemorySource source(data, size);
    return deserialize(source, error);
}

namespace {

bool readHeader(StateReader& in, CMemoryVolume::Geometry& geo, uint32_t& version, std::string& error) {
    if (!in.u32(version) || (version != kStateVersion && version != kStateVersionWithoutLinks)) {
        error = "unknown volume state version";
        return false;
    }
    uint8_t flags = 0;
    if (!in.u64(geo.totalClusters) || !in.u32(geo.bytesPerCluster) || !in.u32(geo.bytesPerSector) ||
        !in.u32(geo.serialNumber) || !in.text(geo.label, 255) || !in.text(geo.fileSystemName, 255) ||
        (version != kStateVersionWithoutLinks && !in.u8(flags))) {
        error = "damaged volume geometry";
        return false;
    }
    geo.solidState = (flags & kFlagSolidState) != 0;
    return true;
}

}  // namespace

bool CMemoryVolume::readGeometry(StateSource& source, Geometry& geometry, std::string& error) {
    StateReader in(source);
    uint32_t version;
    return readHeader(in, geometry, version, error);
}

std::shared_ptr<CMemoryVolume> CMemoryVolume::deserialize(StateSource& source, std::string& error) {
    StateReader in(source);
    Geometry geo;
    uint32_t version;
    if (!readHeader(in, geo, version, error)) return nullptr;
    if (geo.totalClusters == 0 || geo.totalClusters > kMaxClusters || geo.bytesPerSector == 0 ||
        geo.bytesPerCluster < geo.bytesPerSector || geo.bytesPerCluster % geo.bytesPerSector != 0 ||
        geo.totalClusters * 4 > in.remaining()) {
        error = "impossible volume geometry";
        return nullptr;
    }
    auto volume = std::make_shared<CMemoryVolume>(geo);
    State& s = *volume->state_;
    s.nodes.clear();
    uint32_t count;
    if (!in.u32(count) || count == 0 || count > in.remaining() || count >= kLinkBit) {
        error = "damaged file table";
        return nullptr;
    }
    s.nodes.resize(count);
    for (uint32_t id = 0; id < count; ++id) {
        uint8_t present;
        if (!in.u8(present)) {
            error = "damaged file table";
            return nullptr;
        }
        if (!present) continue;
        auto n = std::make_unique<Node>();
        uint8_t directory;
        uint32_t runs, attributes;
        if (!in.u32(n->parent) || !in.u8(directory) || !in.u32(attributes) || !in.u64(n->size) ||
            !in.text(n->name, 255) || !in.u32(runs) || runs > in.remaining() / 16) {
            error = "damaged file record";
            return nullptr;
        }
        n->directory = directory != 0;
        n->attributes = attributes;
        n->runs.resize(runs);
        for (Run& r : n->runs) {
            in.u64(r.lcn);
            in.u64(r.length);
            bool bad = r.length == 0 || (r.lcn == kVirtual ? !n->unitAllocated()
                                                             : (r.lcn >= geo.totalClusters ||
                                                                r.length > geo.totalClusters - r.lcn));
            if (bad) {
                error = "file run outside the volume";
                return nullptr;
            }
        }
        // A parent is always made before its children, so parents have lower ids; this also
        // rules out cycles in a damaged table.
        bool root = id == kRoot;
        if (root ? (n->parent != kNoNode || !n->directory) : (n->parent >= id || !s.nodes[n->parent] ||
                                                               !s.nodes[n->parent]->directory)) {
            error = "damaged directory tree";
            return nullptr;
        }
        s.nodes[id] = std::move(n);
        if (!root && !s.insertChild(*s.nodes[s.nodes[id]->parent], id)) {
            error = "duplicate name in a directory";
            return nullptr;
        }
    }
    if (!s.nodes[kRoot]) {
        error = "volume without root directory";
        return nullptr;
    }
    uint32_t links = 0;
    if (version != kStateVersionWithoutLinks && (!in.u32(links) || links > in.remaining() / 12)) {
        error = "damaged file table";
        return nullptr;
    }
    for (uint32_t i = 0; i < links; ++i) {
        uint32_t id, parent;
        WString name;
        if (!in.u32(id) || !in.u32(parent) || !in.text(name, 255) || !s.applyLink(id, parent, name)) {
            error = "damaged further name of a file";
            return nullptr;
        }
    }
    uint64_t words, tags;
    if (!in.u64(words) || words != s.bitmap.size() || in.remaining() / 8 < words || !in.array(s.bitmap.data(), s.bitmap.size())) {
        error = "damaged bitmap";
        return nullptr;
    }
    if (!in.u64(tags) || tags != geo.totalClusters || in.remaining() != tags * 4 || !in.array(s.tags.data(), s.tags.size())) {
        error = "damaged cluster data";
        return nullptr;
    }
    if (geo.totalClusters % 64) s.bitmap.back() |= ~0ull << (geo.totalClusters % 64);
    uint64_t used = 0;
    for (uint64_t w : s.bitmap) used += static_cast<uint64_t>(__builtin_popcountll(w));
    used -= s.bitmap.size() * 64 - geo.totalClusters;
    s.freeClusters = geo.totalClusters - used;
    return volume;
}

std::vector<std::string> CMemoryVolume::checkIntegrity() const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    std::vector<std::string> problems;
    auto report = [&](const std::string& p) {
        if (problems.size() < kMaxProblems) problems.push_back(p);
    };
    const uint64_t total = s.geometry.totalClusters;
    std::vector<uint64_t> owned(s.bitmap.size(), 0);
    for (uint32_t id = 0; id < s.nodes.size(); ++id) {
        const Node* n = s.node(id);
        if (!n) continue;
        if (id != kRoot) {
            const Node* p = s.node(n->parent);
            bool listed = false;
            if (p && p->directory) listed = s.findChild(*p, n->name) == id;
            if (!listed) report("file " + std::to_string(id) + " is not in its directory");
        }
        for (uint32_t child : n->children()) {
            const bool link = (child & kLinkBit) != 0;
            const Node* c = s.node(s.entryNode(child));
            if (!c || (link ? s.links[child & ~kLinkBit].parent : c->parent) != id)
                report("directory " + narrow(s.pathOf(id)) + " lists a missing entry " + narrow(s.entryName(child)));
        }
        std::string sizeIssue = sizeProblem(*n, s.geometry.bytesPerCluster);
        if (!sizeIssue.empty()) report(narrow(s.pathOf(id)) + ": " + sizeIssue);
        uint64_t vcn = 0;
        for (const Run& r : n->runs) {
            if (r.lcn != kVirtual) {
                if (r.lcn >= total || r.length > total - r.lcn) {
                    report(narrow(s.pathOf(id)) + ": run outside the volume");
                } else {
                    for (uint64_t i = 0; i < r.length; ++i) {
                        const uint64_t c = r.lcn + i;
                        uint64_t& word = owned[c >> 6];
                        if ((word >> (c & 63)) & 1u)
                            report("cluster " + std::to_string(c) + " owned twice, again by " + narrow(s.pathOf(id)));
                        word |= 1ull << (c & 63);
                        if (s.tags[c] != clusterTag(id, vcn + i))
                            report(narrow(s.pathOf(id)) + ": data at VCN " + std::to_string(vcn + i) + " damaged");
                    }
                }
            }
            vcn += r.length;
        }
    }
    uint64_t usedCount = 0;
    for (uint64_t c = 0; c < total; ++c) {
        const bool inBitmap = s.used(c), isOwned = (owned[c >> 6] >> (c & 63)) & 1u;
        usedCount += inBitmap;
        if (inBitmap != isOwned)
            report("cluster " + std::to_string(c) + (inBitmap ? " in use but owned by no file" : " owned but free"));
    }
    if (s.freeClusters != total - usedCount) report("free cluster count is wrong");
    return problems;
}

void CMemoryVolume::forEachWalkedEntry(
    const std::function<void(const WString&, bool, const std::vector<Run>&)>& visit) const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    visit(WString(), true, s.nodes[kRoot]->runs);
    // Depth first, with an explicit stack: a deep tree must not exhaust the thread's stack.
    struct Level {
        uint32_t dir;
        size_t next;
        WString path;
    };
    std::vector<Level> stack{{kRoot, 0, WString()}};
    while (!stack.empty()) {
        Level& top = stack.back();
        const Node* d = s.node(top.dir);
        if (top.next >= d->children().size()) {
            stack.pop_back();
            continue;
        }
        const uint32_t entry = d->children()[top.next++];
        const Node* c = s.node(s.entryNode(entry));
        const WString path = top.path.empty() ? s.entryName(entry) : top.path + u"\\" + s.entryName(entry);
        if (c->directory) {
            visit(path, true, c->runs);
            stack.push_back({s.entryNode(entry), 0, path});
        } else if (!(c->attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            visit(path, false, c->runs);
        }
    }
}

std::vector<uint8_t> CMemoryVolume::bitmapBytes() const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    const uint64_t total = s.geometry.totalClusters;
    std::vector<uint8_t> out(static_cast<size_t>((total + 7) / 8));
    for (size_t k = 0; k < out.size(); ++k) out[k] = static_cast<uint8_t>(s.bitmap[k / 8] >> (8 * (k % 8)));
    if (total % 8) out.back() &= static_cast<uint8_t>((1u << (total % 8)) - 1);
    return out;
}

CMemoryVolume::Statistics CMemoryVolume::statistics() const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    Statistics st;
    auto count = [&](const Node& n) {
        if (n.directory) {
            ++st.directories;
            return;
        }
        if (n.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            ++st.reparsePoints;
            return;
        }
        ++st.files;
        st.usedBytes += n.size;
        uint64_t pieces = 0, expect = kVirtual;
        for (const Run& r : n.runs) {
            if (r.lcn == kVirtual) continue;
            if (r.lcn != expect) ++pieces;
            expect = r.lcn + r.length;
        }
        if (pieces) {
            ++st.filesWithClusters;
            st.fragments += pieces;
            if (pieces > 1) ++st.fragmentedFiles;
        }
    };
    for (const auto& n : s.nodes)
        if (n) count(*n);
    for (const Link& l : s.links)
        if (l.node != kNoNode) count(*s.node(l.node));
    st.freeClusters = s.freeClusters;
    for (uint64_t c = s.nextFree(0); c < s.geometry.totalClusters;) {
        uint64_t end = s.nextUsed(c);
        ++st.freeRuns;
        st.largestFreeRun = std::max(st.largestFreeRun, end - c);
        c = s.nextFree(end);
    }
    for (uint64_t c = s.geometry.totalClusters & ~uint64_t(7); c < s.geometry.totalClusters; ++c)
        st.freeClustersWithoutDumpBit += !s.used(c);
    return st;
}
