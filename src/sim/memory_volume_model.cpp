// The memory volume's model: the cluster bitmap and allocator, the tree, and the changes that a
// journal records and replays.
#include <algorithm>

#include "sim/memory_volume.h"
#include "sim/memory_volume_state.h"

using namespace memvol;

bool memvol::validName(const WString& name) {
    if (name.empty() || name.size() > 255 || name == u"." || name == u"..") return false;
    for (char16_t c : name) {
        if (c < 32) return false;
        switch (c) {
        case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|': case u'?': case u'*':
            return false;
        default: break;
        }
    }
    return true;
}


void memvol::appendRun(std::vector<Run>& runs, Run r) {
    if (r.length == 0) return;
    if (!runs.empty()) {
        Run& last = runs.back();
        if (last.lcn == kVirtual && r.lcn == kVirtual) {
            last.length += r.length;
            return;
        }
        if (last.lcn != kVirtual && r.lcn != kVirtual && last.lcn + last.length == r.lcn) {
            last.length += r.length;
            return;
        }
    }
    runs.push_back(r);
}

uint32_t CMemoryVolume::clusterTag(uint32_t fileId, uint64_t vcn) {
    uint64_t x = (static_cast<uint64_t>(fileId) << 40) ^ vcn ^ 0x9E3779B97F4A7C15ull;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<uint32_t>(x) | 1u;
}

// ---------------------------------------------------------------- clusters

void CMemoryVolume::State::markUsed(uint64_t lcn, uint64_t length) {
    for (uint64_t c = lcn, end = lcn + length; c < end;) {
        uint64_t bit = c & 63, n = std::min<uint64_t>(64 - bit, end - c);
        uint64_t mask = (n == 64 ? ~0ull : ((1ull << n) - 1)) << bit;
        uint64_t& word = bitmap[c >> 6];
        freeClusters -= static_cast<uint64_t>(__builtin_popcountll(mask & ~word));
        word |= mask;
        c += n;
    }
}

void CMemoryVolume::State::markFree(uint64_t lcn, uint64_t length) {
    for (uint64_t c = lcn, end = lcn + length; c < end;) {
        uint64_t bit = c & 63, n = std::min<uint64_t>(64 - bit, end - c);
        uint64_t mask = (n == 64 ? ~0ull : ((1ull << n) - 1)) << bit;
        uint64_t& word = bitmap[c >> 6];
        freeClusters += static_cast<uint64_t>(__builtin_popcountll(mask & word));
        word &= ~mask;
        c += n;
    }
}

uint64_t CMemoryVolume::State::nextFree(uint64_t lcn) const {
    const uint64_t total = geometry.totalClusters;
    if (lcn >= total) return total;
    size_t w = lcn >> 6;
    uint64_t x = ~bitmap[w] & (~0ull << (lcn & 63));
    while (x == 0) {
        if (++w >= bitmap.size()) return total;
        x = ~bitmap[w];
    }
    return std::min<uint64_t>(total, (static_cast<uint64_t>(w) << 6) + static_cast<uint64_t>(__builtin_ctzll(x)));
}

uint64_t CMemoryVolume::State::nextUsed(uint64_t lcn, uint64_t limit) const {
    const uint64_t total = std::min(geometry.totalClusters, limit);
    if (lcn >= total) return total;
    size_t w = lcn >> 6;
    const size_t lastWord = static_cast<size_t>((total - 1) >> 6);
    uint64_t x = bitmap[w] & (~0ull << (lcn & 63));
    while (x == 0) {
        if (++w > lastWord) return total;
        x = bitmap[w];
    }
    return std::min<uint64_t>(total, (static_cast<uint64_t>(w) << 6) + static_cast<uint64_t>(__builtin_ctzll(x)));
}

bool CMemoryVolume::State::rangeFree(uint64_t lcn, uint64_t length) const {
    const uint64_t total = geometry.totalClusters;
    if (lcn >= total || length > total - lcn) return false;
    return length == 0 || nextUsed(lcn, lcn + length) >= lcn + length;
}

std::vector<Run> CMemoryVolume::State::allocate(uint64_t count, uint64_t after) {
    std::vector<Run> result;
    if (count == 0 || count > freeClusters) return result;
    const uint64_t total = geometry.totalClusters;
    uint64_t remaining = count;
    // Grow in place when the clusters right behind the file are free.
    if (after != kVirtual && after + 1 < total && !used(after + 1)) {
        uint64_t start = after + 1;
        uint64_t end = nextUsed(start, start + remaining);
        appendRun(result, {start, end - start});
        markUsed(start, end - start);
        remaining -= end - start;
    }
    uint64_t lcn = allocationCursor < total ? allocationCursor : 0;
    while (remaining > 0) {
        uint64_t start = nextFree(lcn);
        if (start >= total) start = nextFree(0);
        uint64_t end = nextUsed(start, start + remaining);
        appendRun(result, {start, end - start});
        markUsed(start, end - start);
        remaining -= end - start;
        lcn = end;
    }
    allocationCursor = lcn < total ? lcn : 0;
    return result;
}

// ---------------------------------------------------------------- tree and changes

WString CMemoryVolume::State::pathOf(uint32_t id) const {
    WString path;
    for (const Node* n = node(id); n && n->parent != kNoNode; n = node(n->parent))
        path = path.empty() ? n->name : n->name + u"\\" + path;
    return path;
}

bool CMemoryVolume::State::applyCreate(uint32_t parent, const WString& name, bool directory, DWORD attributes,
                                       uint32_t& id) {
    Node* p = node(parent);
    if (!p || !p->directory || !validName(name)) return false;
    if (nodes.size() >= kLinkBit) return false;
    auto n = std::make_unique<Node>();
    n->parent = parent;
    n->name = name;
    n->directory = directory;
    n->attributes = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
    id = static_cast<uint32_t>(nodes.size());
    nodes.push_back(std::move(n));
    // One search both finds a name already taken and the place of the new one.
    if (!insertChild(*p, id)) {
        nodes.pop_back();
        return false;
    }
    return true;
}

bool CMemoryVolume::State::applyExtend(uint32_t id, uint64_t newSize, const std::vector<Run>& runs,
                                       bool clustersReserved) {
    Node* n = node(id);
    if (!n || newSize < n->size) return false;
    const uint64_t total = geometry.totalClusters;
    if (!clustersReserved) {
        std::vector<Run> real;
        for (const Run& r : runs) {
            if (r.length == 0) return false;
            if (r.lcn == kVirtual) {
                if (!n->unitAllocated()) return false;
                continue;
            }
            if (!rangeFree(r.lcn, r.length)) return false;
            real.push_back(r);
        }
        std::sort(real.begin(), real.end(), [](const Run& a, const Run& b) { return a.lcn < b.lcn; });
        for (size_t i = 1; i < real.size(); ++i)
            if (real[i - 1].lcn + real[i - 1].length > real[i].lcn) return false;
    }
    uint64_t vcn = n->totalVcn();
    for (const Run& r : runs) {
        if (r.lcn != kVirtual) {
            if (r.lcn >= total || r.length > total - r.lcn) return false;
            markUsed(r.lcn, r.length);
            for (uint64_t i = 0; i < r.length; ++i) tags[r.lcn + i] = clusterTag(id, vcn + i);
        }
        appendRun(n->runs, r);
        vcn += r.length;
    }
    n->size = newSize;
    return true;
}

DWORD CMemoryVolume::State::checkMove(const Node& file, uint64_t startVcn, uint64_t count, uint64_t targetLcn) const {
    const uint64_t totalVcn = file.totalVcn();
    if (count == 0 || startVcn >= totalVcn || count > totalVcn - startVcn) return ERROR_INVALID_PARAMETER;
    // Compressed and sparse files move in whole compression units only.
    if (file.unitAllocated() && (startVcn % kUnit != 0 || (count % kUnit != 0 && startVcn + count != totalVcn)))
        return ERROR_INVALID_PARAMETER;
    uint64_t real = 0, vcn = 0;
    for (const Run& r : file.runs) {
        uint64_t a = std::max(vcn, startVcn), b = std::min(vcn + r.length, startVcn + count);
        if (a < b && r.lcn != kVirtual) real += b - a;
        vcn += r.length;
    }
    if (!rangeFree(targetLcn, real)) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

bool CMemoryVolume::State::applyMove(uint32_t id, uint64_t startVcn, uint64_t count, uint64_t targetLcn) {
    Node* n = node(id);
    if (!n || checkMove(*n, startVcn, count, targetLcn) != ERROR_SUCCESS) return false;
    const uint64_t endVcn = startVcn + count;
    std::vector<Run> moved;
    uint64_t vcn = 0, placed = 0;
    for (const Run& r : n->runs) {
        const uint64_t runStart = vcn, runEnd = vcn + r.length;
        const uint64_t a = std::max(runStart, startVcn), b = std::min(runEnd, endVcn);
        if (a >= b) {
            moved.push_back(r);
        } else {
            auto at = [&](uint64_t v) { return r.lcn == kVirtual ? kVirtual : r.lcn + (v - runStart); };
            if (runStart < a) moved.push_back({at(runStart), a - runStart});
            if (r.lcn == kVirtual) {
                moved.push_back({kVirtual, b - a});
            } else {
                const uint64_t from = at(a), to = targetLcn + placed, len = b - a;
                std::copy(tags.data() + from, tags.data() + from + len, tags.data() + to);
                markUsed(to, len);
                markFree(from, len);
                moved.push_back({to, len});
                placed += len;
            }
            if (b < runEnd) moved.push_back({at(b), runEnd - b});
        }
        vcn = runEnd;
    }
    n->runs.clear();
    for (const Run& r : moved) appendRun(n->runs, r);
    ++moves;
    return true;
}

bool CMemoryVolume::State::applyDelete(uint32_t id) {
    Node* n = node(id);
    if (!n || id == kRoot || (n->entries && !n->entries->empty())) return false;
    for (const Run& r : n->runs)
        if (r.lcn != kVirtual) markFree(r.lcn, r.length);
    Node* p = node(n->parent);
    if (p) eraseChild(*p, id);
    for (size_t i = 0; i < links.size(); ++i) {
        if (links[i].node != id) continue;
        if (Node* d = node(links[i].parent)) eraseChild(*d, kLinkBit | static_cast<uint32_t>(i));
        links[i].node = kNoNode;
    }
    nodes[id].reset();
    return true;
}

bool CMemoryVolume::State::applyLink(uint32_t id, uint32_t parent, const WString& name) {
    Node* n = node(id);
    Node* p = node(parent);
    if (!n || n->directory || !p || !p->directory || !validName(name) || findChild(*p, name) != kNoNode ||
        links.size() >= kLinkBit)
        return false;
    links.push_back({id, parent, name});
    insertChild(*p, kLinkBit | static_cast<uint32_t>(links.size() - 1));
    return true;
}

bool CMemoryVolume::State::applyUnlink(uint32_t parent, const WString& name) {
    Node* p = node(parent);
    const uint32_t entry = p ? findChild(*p, name) : kNoNode;
    if (entry == kNoNode) return false;
    const uint32_t id = entryNode(entry);
    if (!hasLinks(id)) return applyDelete(id);
    eraseChild(*p, entry);
    if (entry & kLinkBit) {
        links[entry & ~kLinkBit].node = kNoNode;
        return true;
    }
    // The first name goes: a further name takes its place.
    for (size_t i = 0; i < links.size(); ++i) {
        if (links[i].node != id) continue;
        Node* d = node(links[i].parent);
        eraseChild(*d, kLinkBit | static_cast<uint32_t>(i));
        Node* n = node(id);
        n->parent = links[i].parent;
        n->name = std::move(links[i].name);
        links[i] = Link();
        insertChild(*d, id);
        break;
    }
    return true;
}

uint32_t CMemoryVolume::State::findChild(const Node& dir, const WString& name) const {
    auto it = std::lower_bound(dir.children().begin(), dir.children().end(), name, [&](uint32_t e, const WString& key) {
        return platform::compareNoCase(entryName(e), key) < 0;
    });
    if (it == dir.children().end() || platform::compareNoCase(entryName(*it), name) != 0) return kNoNode;
    return *it;
}

bool CMemoryVolume::State::insertChild(Node& dir, uint32_t entry) {
    const WString& name = entryName(entry);
    auto it = std::lower_bound(dir.children().begin(), dir.children().end(), name, [&](uint32_t e, const WString& key) {
        return platform::compareNoCase(entryName(e), key) < 0;
    });
    if (it != dir.children().end() && platform::compareNoCase(entryName(*it), name) == 0) return false;
    dir.children().insert(it, entry);
    return true;
}

void CMemoryVolume::State::eraseChild(Node& dir, uint32_t entry) {
    auto it = std::lower_bound(dir.children().begin(), dir.children().end(), entryName(entry),
                               [&](uint32_t e, const WString& key) { return platform::compareNoCase(entryName(e), key) < 0; });
    if (it != dir.children().end() && *it == entry) dir.children().erase(it);
}

bool CMemoryVolume::State::hasLinks(uint32_t id) const {
    for (const Link& l : links)
        if (l.node == id) return true;
    return false;
}

bool CMemoryVolume::State::applyTruncate(uint32_t id) {
    Node* n = node(id);
    if (!n || n->directory) return false;
    for (const Run& r : n->runs)
        if (r.lcn != kVirtual) markFree(r.lcn, r.length);
    n->runs.clear();
    n->size = 0;
    return true;
}

bool CMemoryVolume::State::applyRecord(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    while (in.remaining() > 0) {
        uint8_t op = 0;
        in.u8(op);
        switch (op) {
        case kOpCreate: {
            uint32_t parent, attributes, id;
            uint8_t directory;
            WString name;
            if (!in.u32(parent) || !in.u8(directory) || !in.u32(attributes) || !in.text(name, 255)) return false;
            if (!applyCreate(parent, name, directory != 0, attributes, id)) return false;
            break;
        }
        case kOpExtend: {
            uint32_t id, count;
            uint64_t newSize;
            if (!in.u32(id) || !in.u64(newSize) || !in.u32(count) || count > in.remaining() / 16) return false;
            std::vector<Run> runs(count);
            for (Run& r : runs)
                if (!in.u64(r.lcn) || !in.u64(r.length)) return false;
            if (!applyExtend(id, newSize, runs, false)) return false;
            break;
        }
        case kOpMove: {
            uint32_t id;
            uint64_t startVcn, count, target;
            if (!in.u32(id) || !in.u64(startVcn) || !in.u64(count) || !in.u64(target)) return false;
            if (!applyMove(id, startVcn, count, target)) return false;
            break;
        }
        case kOpDelete: {
            uint32_t id;
            if (!in.u32(id) || !applyDelete(id)) return false;
            break;
        }
        case kOpTruncate: {
            uint32_t id;
            if (!in.u32(id) || !applyTruncate(id)) return false;
            break;
        }
        case kOpLink: {
            uint32_t id, parent;
            WString name;
            if (!in.u32(id) || !in.u32(parent) || !in.text(name, 255) || !applyLink(id, parent, name)) return false;
            break;
        }
        case kOpUnlink: {
            uint32_t parent;
            WString name;
            if (!in.u32(parent) || !in.text(name, 255) || !applyUnlink(parent, name)) return false;
            break;
        }
        default: return false;
        }
    }
    return true;
}

void CMemoryVolume::setJournal(Journal* journal) {
    std::lock_guard<std::mutex> g(lock_);
    state_->journal = journal;
}

bool CMemoryVolume::replay(const uint8_t* record, size_t size) {
    std::lock_guard<std::mutex> g(lock_);
    return state_->applyRecord(record, size);
}

