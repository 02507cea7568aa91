// The memory volume's whole state as bytes and back, its integrity check and its statistics.
#include <algorithm>

#include "sim/memory_volume.h"
#include "sim/memory_volume_state.h"

using namespace memvol;

namespace {

constexpr uint32_t kStateVersion = 1;
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

void CMemoryVolume::serialize(std::vector<uint8_t>& out) const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    out.clear();
    out.reserve(s.tags.size() * 4 + s.bitmap.size() * 8 + s.nodes.size() * 64 + 256);
    ByteWriter w(out);
    w.u32(kStateVersion);
    w.u64(s.geometry.totalClusters);
    w.u32(s.geometry.bytesPerCluster);
    w.u32(s.geometry.bytesPerSector);
    w.u32(s.geometry.serialNumber);
    w.text(s.geometry.label);
    w.text(s.geometry.fileSystemName);
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
    w.u64(s.bitmap.size());
    for (uint64_t word : s.bitmap) w.u64(word);
    w.u64(s.tags.size());
    size_t at = out.size();
    out.resize(at + s.tags.size() * 4);
    for (uint32_t t : s.tags) {
        out[at++] = static_cast<uint8_t>(t);
        out[at++] = static_cast<uint8_t>(t >> 8);
        out[at++] = static_cast<uint8_t>(t >> 16);
        out[at++] = static_cast<uint8_t>(t >> 24);
    }
}

std::shared_ptr<CMemoryVolume> CMemoryVolume::deserialize(const uint8_t* data, size_t size, std::string& error) {
    ByteReader in(data, size);
    uint32_t version;
    Geometry geo;
    if (!in.u32(version) || version != kStateVersion) {
        error = "unknown volume state version";
        return nullptr;
    }
    if (!in.u64(geo.totalClusters) || !in.u32(geo.bytesPerCluster) || !in.u32(geo.bytesPerSector) ||
        !in.u32(geo.serialNumber) || !in.text(geo.label, 255) || !in.text(geo.fileSystemName, 255)) {
        error = "damaged volume geometry";
        return nullptr;
    }
    if (geo.totalClusters == 0 || geo.totalClusters > kMaxClusters || geo.bytesPerSector == 0 ||
        geo.bytesPerCluster < geo.bytesPerSector || geo.bytesPerCluster % geo.bytesPerSector != 0 ||
        geo.totalClusters * 4 > size) {
        error = "impossible volume geometry";
        return nullptr;
    }
    auto volume = std::make_shared<CMemoryVolume>(geo);
    State& s = *volume->state_;
    s.nodes.clear();
    uint32_t count;
    if (!in.u32(count) || count == 0 || count > in.remaining()) {
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
        if (!root && !s.nodes[n->parent]->children.emplace(n->name, id).second) {
            error = "duplicate name in a directory";
            return nullptr;
        }
        s.nodes[id] = std::move(n);
    }
    if (!s.nodes[kRoot]) {
        error = "volume without root directory";
        return nullptr;
    }
    uint64_t words, tags;
    if (!in.u64(words) || words != s.bitmap.size() || in.remaining() / 8 < words) {
        error = "damaged bitmap";
        return nullptr;
    }
    for (uint64_t& w : s.bitmap) in.u64(w);
    if (!in.u64(tags) || tags != geo.totalClusters || in.remaining() != tags * 4) {
        error = "damaged cluster data";
        return nullptr;
    }
    const uint8_t* p = in.position();
    for (uint64_t i = 0; i < tags; ++i, p += 4)
        s.tags[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                    static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
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
            if (p && p->directory) {
                auto it = p->children.find(n->name);
                listed = it != p->children.end() && it->second == id;
            }
            if (!listed) report("file " + std::to_string(id) + " is not in its directory");
        }
        for (const auto& child : n->children)
            if (!s.node(child.second) || s.node(child.second)->parent != id)
                report("directory " + narrow(s.pathOf(id)) + " lists a missing entry " + narrow(child.first));
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

CMemoryVolume::Statistics CMemoryVolume::statistics() const {
    std::lock_guard<std::mutex> g(lock_);
    const State& s = *state_;
    Statistics st;
    for (const auto& n : s.nodes) {
        if (!n) continue;
        (n->directory ? st.directories : st.files)++;
        if (!n->directory) st.usedBytes += n->size;
        uint64_t pieces = 0, expect = kVirtual;
        for (const Run& r : n->runs) {
            if (r.lcn == kVirtual) continue;
            if (r.lcn != expect) ++pieces;
            expect = r.lcn + r.length;
        }
        if (pieces) {
            ++st.filesWithClusters;
            st.fragments += pieces;
            if (pieces > 1) ++st.fragmentedFiles;
        }
    }
    st.freeClusters = s.freeClusters;
    for (uint64_t c = s.nextFree(0); c < s.geometry.totalClusters;) {
        uint64_t end = s.nextUsed(c);
        ++st.freeRuns;
        st.largestFreeRun = std::max(st.largestFreeRun, end - c);
        c = s.nextFree(end);
    }
    return st;
}
