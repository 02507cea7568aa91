// An ordered set laid out for the machine: a B+ tree whose nodes hold many entries in flat
// arrays and come from a pool in blocks, so that there is no allocation per entry, a search
// touches a handful of cache lines, and a change moves at most one node's worth of entries.
// Inner nodes keep, per child, the smallest key under it and (for measured trees) the largest
// measure under it, which finds the first entry of at least a given measure without a walk.
//
// Policy: Entry (trivially copyable), Key (totally ordered), static Key key(const Entry&);
// kMeasured and Measure (NoMeasure when not measured); when measured, static Measure
// measure(const Entry&).
//
// Not thread safe; the owner serialises every use.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "volume/node_block.h"

namespace snapshot_detail {

// Nodes handed out from blocks; freed nodes are kept for reuse until clear().
template <class T>
class NodePool {
    static_assert(std::is_trivially_default_constructible<T>::value && std::is_trivially_destructible<T>::value,
                  "nodes are raw storage");

public:
    NodePool() = default;
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;
    ~NodePool() { clear(); }

    T* allocate() {
        if (!free_.empty()) {
            T* node = free_.back();
            free_.pop_back();
            return node;
        }
        if (used_ == blockNodes_) {
            // Blocks grow with the pool (an eighth of it) so that their count stays small and
            // the unused tail of the last one stays a small share; a large pool takes large
            // blocks.
            if (bytes_ >= kLargeBlockBytes) grow(kLargeBlockBytes);
            else grow(std::min(kLargeBlockBytes / 2, std::max<size_t>(4, nodes_ / 8) * sizeof(T)));
        }
        return &current_[used_++];
    }
    void release(T* node) { free_.push_back(node); }
    // The next n allocations come from one block (a bulk load knows its size).
    void reserve(size_t n) {
        if (blockNodes_ - used_ + free_.size() >= n) return;
        const size_t bytes = n * sizeof(T);
        grow(bytes < kLargeBlockBytes ? bytes : (bytes + kLargeBlockBytes - 1) / kLargeBlockBytes * kLargeBlockBytes);
    }
    void clear() {
        for (const auto& b : blocks_) freeNodeBlock(b.first, b.second);
        blocks_.clear();
        blocks_.shrink_to_fit();
        free_.clear();
        free_.shrink_to_fit();
        current_ = nullptr;
        used_ = blockNodes_ = nodes_ = bytes_ = 0;
    }
    size_t bytes() const {
        return bytes_ + blocks_.capacity() * sizeof(blocks_[0]) + free_.capacity() * sizeof(T*);
    }

private:
    void grow(size_t bytes) {
        void* block = allocateNodeBlock(bytes);
        blocks_.emplace_back(block, bytes);
        current_ = static_cast<T*>(block);
        blockNodes_ = bytes / sizeof(T);
        for (size_t i = 0; i < blockNodes_; ++i) new (current_ + i) T;
        used_ = 0;
        nodes_ += blockNodes_;
        bytes_ += bytes;
    }

    std::vector<std::pair<void*, size_t>> blocks_;
    std::vector<T*> free_;
    T* current_ = nullptr;
    size_t used_ = 0, blockNodes_ = 0, nodes_ = 0, bytes_ = 0;
};

struct NoMeasure {};

template <class Policy>
class RunTree {
public:
    using Entry = typename Policy::Entry;
    using Key = typename Policy::Key;
    static constexpr bool kMeasured = Policy::kMeasured;
    using Measure = typename Policy::Measure;

private:
    struct Leaf;
    struct Inner;

public:

    // Half a kilobyte per leaf: a search fetches its eight cache lines at once, and a split or a
    // merge moves little.
    static constexpr uint32_t kLeafCap = 512 / sizeof(Entry);
    static constexpr uint32_t kFan = 64;
    static constexpr int kMaxHeight = 12;

    RunTree() = default;
    RunTree(const RunTree&) = delete;
    RunTree& operator=(const RunTree&) = delete;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t bytes() const { return leaves_.bytes() + inners_.bytes() + building_.capacity() * sizeof(Leaf*); }

    void clear() {
        leaves_.clear();
        inners_.clear();
        building_.clear();
        building_.shrink_to_fit();
        root_ = nullptr;
        height_ = 0;
        size_ = 0;
    }

    // ------------------------------------------------------------ bulk load
    // Entries given in ascending key order to an empty tree, then finishAppend() before any
    // other use. Leaves are filled whole.
    void reserveAppend(size_t n) { leaves_.reserve((n + kLeafCap - 1) / kLeafCap); }
    void append(const Entry& e) {
        if (building_.empty() || building_.back()->count == kLeafCap) {
            Leaf* leaf = leaves_.allocate();
            leaf->count = 0;
            building_.push_back(leaf);
        }
        Leaf* leaf = building_.back();
        leaf->e[leaf->count++] = e;
        ++size_;
    }
    // Or, by position: room for n entries (set with slot(i), in key order), then finishAppend().
    void resizeAppend(size_t n) {
        reserveAppend(n);
        while (size_ < n) {
            Leaf* leaf = leaves_.allocate();
            leaf->count = static_cast<uint32_t>(std::min<size_t>(kLeafCap, n - size_));
            size_ += leaf->count;
            building_.push_back(leaf);
        }
    }
    Entry& slot(size_t i) { return building_[i / kLeafCap]->e[i % kLeafCap]; }
    // The entries appended so far, before finishAppend().
    template <class F>
    void forEachAppended(F&& f) const {
        for (const Leaf* leaf : building_)
            for (uint32_t i = 0; i < leaf->count; ++i) f(leaf->e[i]);
    }
    void finishAppend() {
        if (building_.empty()) return;
        // The last leaf shares with the one before it, so that no leaf starts out nearly empty.
        if (building_.size() > 1) {
            Leaf* a = building_[building_.size() - 2];
            Leaf* b = building_.back();
            if (b->count < kLeafCap / 2) balanceLeaves(a, b);
        }
        std::vector<void*> level(building_.begin(), building_.end());
        building_.clear();
        building_.shrink_to_fit();
        int height = 0;
        while (level.size() > 1) {
            // Children shared evenly, so that no node starts out thin.
            const size_t nodes = (level.size() + kFan - 1) / kFan;
            std::vector<void*> up;
            up.reserve(nodes);
            inners_.reserve(nodes);
            for (size_t i = 0; i < nodes; ++i) {
                Inner* n = inners_.allocate();
                n->count = 0;
                const size_t from = i * level.size() / nodes, to = (i + 1) * level.size() / nodes;
                for (size_t j = from; j < to; ++j) setChild(n, n->count++, level[j], height);
                up.push_back(n);
            }
            level.swap(up);
            ++height;
        }
        root_ = level.front();
        height_ = height;
    }

    // ------------------------------------------------------------ changes
    // Inserts e; its key must not be in the tree.
    void insert(const Entry& e) {
        if (!root_) {
            Leaf* leaf = leaves_.allocate();
            leaf->count = 0;
            root_ = leaf;
            height_ = 0;
        }
        Split s = insertInto(root_, height_, e);
        if (s.node) {
            Inner* n = inners_.allocate();
            n->count = 0;
            setChild(n, n->count++, root_, height_);
            setChild(n, n->count++, s.node, height_);
            root_ = n;
            ++height_;
        }
        ++size_;
    }

    // Removes the entry of key k; false when there is none.
    bool erase(const Key& k) {
        if (!root_ || !eraseFrom(root_, height_, k)) return false;
        --size_;
        while (height_ > 0 && asInner(root_)->count == 1) {
            Inner* old = asInner(root_);
            root_ = old->child[0];
            --height_;
            inners_.release(old);
        }
        if (size_ == 0) clear();
        return true;
    }

    // Calls f on the entry of key k, which must keep its key; false when there is none.
    template <class F>
    bool update(const Key& k, F&& f) {
        return root_ && updateIn(root_, height_, k, f);
    }

    // ------------------------------------------------------------ searches
    // A position in the tree, for walking on from an answer.
    struct Cursor {
        const Inner* node[kMaxHeight];
        uint32_t idx[kMaxHeight];
        const void* leaf = nullptr;
        uint32_t pos = 0;
    };

    const Entry* first() const {
        if (!root_) return nullptr;
        const void* n = root_;
        for (int h = height_; h > 0; --h) n = asInner(n)->child[0];
        return asLeaf(n)->count ? &asLeaf(n)->e[0] : nullptr;
    }

    const Entry* find(const Key& k) const {
        const Entry* e = lastAtOrBefore(k);
        return e && !(Policy::key(*e) < k) ? e : nullptr;
    }

    // The entry of the largest key not above k.
    const Entry* lastAtOrBefore(const Key& k) const {
        if (!root_) return nullptr;
        const void* n = root_;
        for (int h = height_; h > 0; --h) {
            const Inner* in = asInner(n);
            n = in->child[childFor(in, k)];
            fetch(n, h - 1);
        }
        const Leaf* leaf = asLeaf(n);
        // Every inner key is the smallest key below it, so the leaf reached holds the answer
        // unless none exists.
        const Entry* end = leaf->e + leaf->count;
        const Entry* it = std::upper_bound(leaf->e, end, k, [](const Key& x, const Entry& y) { return x < Policy::key(y); });
        return it == leaf->e ? nullptr : it - 1;
    }

    // The entry of the smallest key not below k; c is left on it for next().
    const Entry* lowerBound(const Key& k, Cursor& c) const {
        if (!root_) return nullptr;
        const void* n = root_;
        for (int h = height_, d = 0; h > 0; --h, ++d) {
            const Inner* in = asInner(n);
            c.node[d] = in;
            c.idx[d] = childFor(in, k);
            n = in->child[c.idx[d]];
            fetch(n, h - 1);
        }
        const Leaf* leaf = asLeaf(n);
        c.leaf = leaf;
        c.pos = static_cast<uint32_t>(
            std::lower_bound(leaf->e, leaf->e + leaf->count, k, [](const Entry& x, const Key& y) { return Policy::key(x) < y; }) -
            leaf->e);
        if (c.pos < leaf->count) return &leaf->e[c.pos];
        return nextLeaf(c);
    }

    const Entry* next(Cursor& c) const {
        const Leaf* leaf = asLeaf(c.leaf);
        if (++c.pos < leaf->count) return &leaf->e[c.pos];
        return nextLeaf(c);
    }

    // The first entry (by key) whose measure is at least m.
    const Entry* firstMeasuring(const Measure& m) const {
        static_assert(kMeasured, "measured trees only");
        if (!root_) return nullptr;
        const void* n = root_;
        for (int h = height_; h > 0; --h) {
            const Inner* in = asInner(n);
            uint32_t i = 0;
            while (i < in->count && in->best[i] < m) ++i;
            if (i == in->count) return nullptr;
            n = in->child[i];
        }
        const Leaf* leaf = asLeaf(n);
        for (uint32_t i = 0; i < leaf->count; ++i)
            if (!(Policy::measure(leaf->e[i]) < m)) return &leaf->e[i];
        return nullptr;
    }

    template <class F>
    void forEach(F&& f) const {
        if (root_) visit(root_, height_, f);
    }

private:
    struct Leaf {
        uint32_t count;
        Entry e[kLeafCap];
    };
    struct Inner {
        uint32_t count;
        Key key[kFan];
        void* child[kFan];
        Measure best[kFan];
    };
    struct Split {
        void* node = nullptr;
    };

    static Leaf* asLeaf(void* n) { return static_cast<Leaf*>(n); }
    static const Leaf* asLeaf(const void* n) { return static_cast<const Leaf*>(n); }
    static Inner* asInner(void* n) { return static_cast<Inner*>(n); }
    static const Inner* asInner(const void* n) { return static_cast<const Inner*>(n); }

    // Asks for all the cache lines a search of node n will read at once, rather than one after
    // another as the binary search reaches them.
    static void fetch(const void* n, int height) {
        const char* p = static_cast<const char*>(n);
        const size_t bytes = height ? offsetof(Inner, key) + kFan * sizeof(Key) : sizeof(Leaf);
        for (size_t at = 0; at < bytes; at += 64) __builtin_prefetch(p + at);
    }

    // The last child whose smallest key is not above k (the first when all are).
    static uint32_t childFor(const Inner* in, const Key& k) {
        const Key* end = in->key + in->count;
        const Key* it = std::upper_bound(in->key + 1, end, k);
        return static_cast<uint32_t>(it - in->key) - 1;
    }

    static Key minKey(const void* n, int height) {
        return height ? asInner(n)->key[0] : Policy::key(asLeaf(n)->e[0]);
    }
    static Measure measureOf(const void* n, int height) {
        Measure m{};
        if constexpr (kMeasured) {
            if (height) {
                const Inner* in = asInner(n);
                for (uint32_t i = 0; i < in->count; ++i) m = std::max(m, in->best[i]);
            } else {
                const Leaf* leaf = asLeaf(n);
                for (uint32_t i = 0; i < leaf->count; ++i) m = std::max(m, Policy::measure(leaf->e[i]));
            }
        }
        return m;
    }
    static uint32_t countOf(const void* n, int height) { return height ? asInner(n)->count : asLeaf(n)->count; }
    // Child i of n is `child` (of the given height): its key and measure.
    static void setChild(Inner* n, uint32_t i, void* child, int height) {
        n->child[i] = child;
        n->key[i] = minKey(child, height);
        if constexpr (kMeasured) n->best[i] = measureOf(child, height);
    }
    static void refreshChild(Inner* n, uint32_t i, int height) { setChild(n, i, n->child[i], height); }

    static void insertSlot(Inner* n, uint32_t i) {
        const uint32_t tail = n->count - i;
        std::memmove(&n->key[i + 1], &n->key[i], tail * sizeof(Key));
        std::memmove(&n->child[i + 1], &n->child[i], tail * sizeof(void*));
        if constexpr (kMeasured) std::memmove(&n->best[i + 1], &n->best[i], tail * sizeof(Measure));
        ++n->count;
    }
    static void removeSlot(Inner* n, uint32_t i) {
        const uint32_t tail = n->count - i - 1;
        std::memmove(&n->key[i], &n->key[i + 1], tail * sizeof(Key));
        std::memmove(&n->child[i], &n->child[i + 1], tail * sizeof(void*));
        if constexpr (kMeasured) std::memmove(&n->best[i], &n->best[i + 1], tail * sizeof(Measure));
        --n->count;
    }

    Split insertInto(void* node, int height, const Entry& e) {
        if (height == 0) {
            Leaf* leaf = asLeaf(node);
            const Key k = Policy::key(e);
            uint32_t pos = static_cast<uint32_t>(
                std::lower_bound(leaf->e, leaf->e + leaf->count, k, [](const Entry& x, const Key& y) { return Policy::key(x) < y; }) -
                leaf->e);
            Split s;
            if (leaf->count == kLeafCap) {
                Leaf* right = leaves_.allocate();
                const uint32_t half = kLeafCap / 2;
                right->count = kLeafCap - half;
                std::memcpy(right->e, leaf->e + half, right->count * sizeof(Entry));
                leaf->count = half;
                s.node = right;
                if (pos > half) {
                    leaf = right;
                    pos -= half;
                }
            }
            std::memmove(&leaf->e[pos + 1], &leaf->e[pos], (leaf->count - pos) * sizeof(Entry));
            leaf->e[pos] = e;
            ++leaf->count;
            return s;
        }
        Inner* n = asInner(node);
        const uint32_t i = childFor(n, Policy::key(e));
        Split below = insertInto(n->child[i], height - 1, e);
        if (!below.node) {
            if (Policy::key(e) < n->key[i]) n->key[i] = Policy::key(e);
            if constexpr (kMeasured) n->best[i] = std::max(n->best[i], Policy::measure(e));
            return {};
        }
        refreshChild(n, i, height - 1);
        Split s;
        uint32_t at = i + 1;
        if (n->count == kFan) {
            Inner* right = inners_.allocate();
            const uint32_t half = kFan / 2;
            right->count = 0;
            for (uint32_t j = half; j < kFan; ++j) {
                right->key[right->count] = n->key[j];
                right->child[right->count] = n->child[j];
                if constexpr (kMeasured) right->best[right->count] = n->best[j];
                ++right->count;
            }
            n->count = half;
            s.node = right;
            if (at > half) {
                n = right;
                at -= half;
            }
        }
        insertSlot(n, at);
        setChild(n, at, below.node, height - 1);
        return s;
    }

    bool eraseFrom(void* node, int height, const Key& k) {
        if (height == 0) {
            Leaf* leaf = asLeaf(node);
            Entry* end = leaf->e + leaf->count;
            Entry* it = std::lower_bound(leaf->e, end, k, [](const Entry& x, const Key& y) { return Policy::key(x) < y; });
            if (it == end || k < Policy::key(*it)) return false;
            const uint32_t pos = static_cast<uint32_t>(it - leaf->e);
            erased_ = *it;
            std::memmove(&leaf->e[pos], &leaf->e[pos + 1], (leaf->count - pos - 1) * sizeof(Entry));
            --leaf->count;
            return true;
        }
        Inner* n = asInner(node);
        const uint32_t i = childFor(n, k);
        if (!eraseFrom(n->child[i], height - 1, k)) return false;
        void* child = n->child[i];
        const uint32_t count = countOf(child, height - 1);
        if (count == 0) {
            release(child, height - 1);
            removeSlot(n, i);
            return true;
        }
        // The largest measure below changes only when the entry gone held it.
        n->key[i] = minKey(child, height - 1);
        if constexpr (kMeasured)
            if (!(Policy::measure(erased_) < n->best[i])) n->best[i] = measureOf(child, height - 1);
        const uint32_t cap = height == 1 ? kLeafCap : kFan;
        if (count < cap / 4 && n->count > 1) {
            // Too thin: join a neighbour, or share with it when both do not fit in one.
            const uint32_t a = i > 0 ? i - 1 : i;
            void* left = n->child[a];
            void* right = n->child[a + 1];
            if (countOf(left, height - 1) + countOf(right, height - 1) <= cap) {
                if (height == 1) mergeLeaves(asLeaf(left), asLeaf(right));
                else mergeInners(asInner(left), asInner(right));
                release(right, height - 1);
                removeSlot(n, a + 1);
            } else {
                if (height == 1) balanceLeaves(asLeaf(left), asLeaf(right));
                else balanceInners(asInner(left), asInner(right));
                refreshChild(n, a + 1, height - 1);
            }
            refreshChild(n, a, height - 1);
        }
        return true;
    }

    template <class F>
    bool updateIn(void* node, int height, const Key& k, F& f) {
        if (height == 0) {
            Leaf* leaf = asLeaf(node);
            Entry* end = leaf->e + leaf->count;
            Entry* it = std::lower_bound(leaf->e, end, k, [](const Entry& x, const Key& y) { return Policy::key(x) < y; });
            if (it == end || k < Policy::key(*it)) return false;
            erased_ = *it;
            f(*it);
            updated_ = *it;
            return true;
        }
        Inner* n = asInner(node);
        const uint32_t i = childFor(n, k);
        if (!updateIn(n->child[i], height - 1, k, f)) return false;
        if constexpr (kMeasured) {
            if (!(Policy::measure(updated_) < n->best[i])) n->best[i] = Policy::measure(updated_);
            else if (!(Policy::measure(erased_) < n->best[i])) n->best[i] = measureOf(n->child[i], height - 1);
        }
        return true;
    }

    void release(void* n, int height) {
        if (height) inners_.release(asInner(n));
        else leaves_.release(asLeaf(n));
    }

    static void mergeLeaves(Leaf* a, Leaf* b) {
        std::memcpy(a->e + a->count, b->e, b->count * sizeof(Entry));
        a->count += b->count;
        b->count = 0;
    }
    static void balanceLeaves(Leaf* a, Leaf* b) {
        const uint32_t total = a->count + b->count, want = total / 2;
        if (a->count > want) {
            const uint32_t move = a->count - want;
            std::memmove(b->e + move, b->e, b->count * sizeof(Entry));
            std::memcpy(b->e, a->e + want, move * sizeof(Entry));
            a->count = want;
            b->count += move;
        } else {
            const uint32_t move = want - a->count;
            std::memcpy(a->e + a->count, b->e, move * sizeof(Entry));
            std::memmove(b->e, b->e + move, (b->count - move) * sizeof(Entry));
            a->count = want;
            b->count -= move;
        }
    }
    static void moveSlots(Inner* to, uint32_t at, const Inner* from, uint32_t fromAt, uint32_t n) {
        std::memmove(&to->key[at], &from->key[fromAt], n * sizeof(Key));
        std::memmove(&to->child[at], &from->child[fromAt], n * sizeof(void*));
        if constexpr (kMeasured) std::memmove(&to->best[at], &from->best[fromAt], n * sizeof(Measure));
    }
    static void mergeInners(Inner* a, Inner* b) {
        moveSlots(a, a->count, b, 0, b->count);
        a->count += b->count;
        b->count = 0;
    }
    static void balanceInners(Inner* a, Inner* b) {
        const uint32_t total = a->count + b->count, want = total / 2;
        if (a->count > want) {
            const uint32_t move = a->count - want;
            moveSlots(b, move, b, 0, b->count);
            moveSlots(b, 0, a, want, move);
            a->count = want;
            b->count += move;
        } else {
            const uint32_t move = want - a->count;
            moveSlots(a, a->count, b, 0, move);
            moveSlots(b, 0, b, move, b->count - move);
            a->count = want;
            b->count -= move;
        }
    }

    const Entry* nextLeaf(Cursor& c) const {
        // Up to the nearest level with a child to the right, then down its left edge.
        int d = height_ - 1;
        while (d >= 0 && c.idx[d] + 1 >= c.node[d]->count) --d;
        if (d < 0) return nullptr;
        ++c.idx[d];
        const void* n = c.node[d]->child[c.idx[d]];
        for (int k = d + 1; k < height_; ++k) {
            c.node[k] = asInner(n);
            c.idx[k] = 0;
            n = asInner(n)->child[0];
        }
        c.leaf = n;
        c.pos = 0;
        return asLeaf(n)->count ? &asLeaf(n)->e[0] : nullptr;
    }

    template <class F>
    static void visit(const void* n, int height, F& f) {
        if (height == 0) {
            const Leaf* leaf = asLeaf(n);
            for (uint32_t i = 0; i < leaf->count; ++i) f(leaf->e[i]);
            return;
        }
        const Inner* in = asInner(n);
        for (uint32_t i = 0; i < in->count; ++i) visit(in->child[i], height - 1, f);
    }

    NodePool<Leaf> leaves_;
    NodePool<Inner> inners_;
    std::vector<Leaf*> building_;
    Entry erased_{}, updated_{};  // the entry a change took away or changed, and what it became
    void* root_ = nullptr;
    int height_ = 0;
    size_t size_ = 0;
};

}  // namespace snapshot_detail
