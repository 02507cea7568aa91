// The free runs of a snapshot held twice: by start (with the largest size under each inner
// node, for first fit) and by (size, start) (for best fit and the run that gives way when the
// list is full). W is the width of a stored cluster number: 32 bits keep a run in 8 bytes per
// index on every volume of fewer than 2^32 clusters; 64 bits serve any other.
//
// Runs are kept apart (each ends at least one cluster before the next begins), so the set of
// runs is the one a fresh build over the same free clusters gives.
#pragma once
#include <cstdint>
#include <vector>

#include "volume/extent.h"
#include "volume/run_tree.h"

namespace snapshot_detail {

template <class W>
struct SizeKey;

template <>
struct SizeKey<uint32_t> {
    using Key = uint64_t;
    static Key make(uint64_t size, uint64_t start) { return size << 32 | start; }
    static uint64_t size(Key k) { return k >> 32; }
    static uint64_t start(Key k) { return k & 0xFFFFFFFFu; }
};

template <>
struct SizeKey<uint64_t> {
    struct Key {
        uint64_t size;
        uint64_t start;
        bool operator<(const Key& o) const { return size != o.size ? size < o.size : start < o.start; }
    };
    static Key make(uint64_t size, uint64_t start) { return Key{size, start}; }
    static uint64_t size(const Key& k) { return k.size; }
    static uint64_t start(const Key& k) { return k.start; }
};

template <class W>
struct ByStart {
    struct Entry {
        W start;
        W end;
    };
    using Key = W;
    static Key key(const Entry& e) { return e.start; }
    static constexpr bool kMeasured = true;
    using Measure = W;
    static Measure measure(const Entry& e) { return static_cast<W>(e.end - e.start + 1); }
};

template <class W>
struct BySize {
    using Entry = typename SizeKey<W>::Key;
    using Key = Entry;
    static const Key& key(const Entry& e) { return e; }
    static constexpr bool kMeasured = false;
    using Measure = NoMeasure;
};

// Stable sort by size (LSD radix, 11 bits a pass, only as many passes as the largest size
// needs): keys given in start order come out in (size, start) order.
template <class K, class SizeOf>
void sortBySize(std::vector<K>& keys, uint64_t largest, SizeOf sizeOf) {
    constexpr unsigned kBits = 11;
    constexpr size_t kBuckets = size_t(1) << kBits;
    std::vector<K> out;
    for (unsigned shift = 0; shift < 64 && (largest >> shift) != 0; shift += kBits) {
        size_t count[kBuckets] = {};
        for (const K& k : keys) ++count[(sizeOf(k) >> shift) & (kBuckets - 1)];
        if (count[(largest >> shift) & (kBuckets - 1)] == keys.size()) continue;  // one bucket: nothing moves
        size_t at = 0;
        for (size_t& c : count) {
            const size_t n = c;
            c = at;
            at += n;
        }
        out.resize(keys.size());
        for (const K& k : keys) out[count[(sizeOf(k) >> shift) & (kBuckets - 1)]++] = k;
        keys.swap(out);
    }
}

template <class W>
class FreeRuns {
    using Sizes = SizeKey<W>;
    using Run = typename ByStart<W>::Entry;

public:
    // The largest cluster a run may hold (all ones stays free to mean "none").
    static constexpr uint64_t kMaxLcn = static_cast<W>(~W(0)) - 1;

    explicit FreeRuns(uint32_t maxRuns) : maxRuns_(maxRuns) {}

    size_t size() const { return byStart_.size(); }
    uint64_t total() const { return total_; }
    size_t bytes() const { return sizeof(*this) + byStart_.bytes() + bySize_.bytes(); }
    bool full() const { return byStart_.size() >= maxRuns_; }

    // A build: runs in ascending order and apart, while not full; then finishBuild().
    void append(uint64_t start, uint64_t end) {
        byStart_.append(Run{static_cast<W>(start), static_cast<W>(end)});
        total_ += end - start + 1;
    }
    void finishBuild() {
        // The size index in one counting pass over the runs for the sizes most runs have (a
        // bucket per size), the larger ones sorted apart; runs met in start order keep that
        // order within a size.
        constexpr uint64_t kDirect = 2048;
        const size_t n = byStart_.size();
        std::vector<size_t> at(kDirect + 1, 0);
        byStart_.forEachAppended([&](const Run& r) { ++at[std::min<uint64_t>(measure(r), kDirect)]; });
        size_t sum = 0;
        for (size_t& a : at) {
            const size_t c = a;
            a = sum;
            sum += c;
        }
        const size_t firstLarge = at[kDirect];
        std::vector<typename Sizes::Key> large;
        large.reserve(n - firstLarge);
        uint64_t largest = 0;
        bySize_.resizeAppend(n);
        byStart_.forEachAppended([&](const Run& r) {
            const uint64_t size = measure(r);
            if (size < kDirect) {
                bySize_.slot(at[size]++) = Sizes::make(size, r.start);
            } else {
                large.push_back(Sizes::make(size, r.start));
                largest = std::max(largest, size);
            }
        });
        sortBySize(large, largest, [](const typename Sizes::Key& k) { return Sizes::size(k); });
        for (size_t i = 0; i < large.size(); ++i) bySize_.slot(firstLarge + i) = large[i];
        bySize_.finishAppend();
        byStart_.finishAppend();
    }
    // Runs a build may still append before the list is full.
    size_t room() const { return byStart_.size() < maxRuns_ ? maxRuns_ - byStart_.size() : 0; }

    // The clusters [s, e] are free: joined with the runs they overlap or touch. A run that joins
    // none takes a new place, which a full list gives only to a run larger than its smallest
    // (that one gives way).
    void add(uint64_t s, uint64_t e) {
        bool joined = false;
        for (;;) {
            const Run* r = byStart_.lastAtOrBefore(static_cast<W>(std::min(e + 1, kMaxLcn)));
            if (!r || uint64_t(r->end) + 1 < s) break;
            const Run run = *r;
            s = std::min<uint64_t>(s, run.start);
            e = std::max<uint64_t>(e, run.end);
            drop(run);
            joined = true;
        }
        if (!joined && full()) {
            if (maxRuns_ == 0) return;
            const auto* smallest = bySize_.first();
            if (e - s + 1 <= Sizes::size(*smallest)) return;
            drop(at(Sizes::start(*smallest)));
        }
        put(s, e);
    }

    // The clusters [u, v] are in use: runs inside go, runs across are cut. A cut that takes
    // the list past its bound lets the smallest run go.
    void remove(uint64_t u, uint64_t v) {
        if (u > kMaxLcn) return;
        v = std::min(v, kMaxLcn);
        for (;;) {
            const Run* r = byStart_.lastAtOrBefore(static_cast<W>(v));
            if (!r || r->end < u) break;
            const Run run = *r;
            if (run.start < u) {
                setEnd(run, u - 1);
                if (run.end > v) {
                    put(v + 1, run.end);
                    if (size() > maxRuns_) drop(at(Sizes::start(*bySize_.first())));
                }
                break;
            }
            drop(run);
            if (run.end > v) put(v + 1, run.end);
        }
    }

    // ------------------------------------------------------------ searches
    bool firstFit(uint64_t n, CExtent& out) const {
        if (n > kMaxLcn + 1) return false;
        return give(byStart_.firstMeasuring(static_cast<W>(n)), out);
    }
    bool bestFit(uint64_t n, uint64_t skip, CExtent& out) const {
        if (n > kMaxLcn + 1) return false;
        typename RunTree<BySize<W>>::Cursor c;
        const auto* k = bySize_.lowerBound(Sizes::make(n, 0), c);
        if (k && Sizes::start(*k) == skip) k = bySize_.next(c);
        if (!k) return false;
        out.start = Sizes::start(*k);
        out.end = out.start + Sizes::size(*k) - 1;
        return true;
    }
    bool startingAt(uint64_t lcn, CExtent& out) const {
        return lcn <= kMaxLcn && give(byStart_.find(static_cast<W>(lcn)), out);
    }
    bool endingAt(uint64_t lcn, CExtent& out) const {
        if (lcn > kMaxLcn) return false;
        const Run* r = byStart_.lastAtOrBefore(static_cast<W>(lcn));
        return r && r->end == lcn && give(r, out);
    }
    bool smallest(CExtent& out) const {
        const auto* k = bySize_.first();
        if (!k) return false;
        out.start = Sizes::start(*k);
        out.end = out.start + Sizes::size(*k) - 1;
        return true;
    }
    template <class F>
    void forEach(F&& f) const {
        byStart_.forEach([&](const Run& r) { f(uint64_t(r.start), uint64_t(r.end)); });
    }

private:
    static uint64_t measure(const Run& r) { return uint64_t(r.end) - r.start + 1; }
    static bool give(const Run* r, CExtent& out) {
        if (!r) return false;
        out.start = r->start;
        out.end = r->end;
        return true;
    }
    Run at(uint64_t start) const { return *byStart_.find(static_cast<W>(start)); }

    void put(uint64_t s, uint64_t e) {
        byStart_.insert(Run{static_cast<W>(s), static_cast<W>(e)});
        bySize_.insert(Sizes::make(e - s + 1, s));
        total_ += e - s + 1;
    }
    void drop(const Run& r) {
        const uint64_t size = uint64_t(r.end) - r.start + 1;
        byStart_.erase(r.start);
        bySize_.erase(Sizes::make(size, r.start));
        total_ -= size;
    }
    void setEnd(const Run& r, uint64_t end) {
        const uint64_t size = uint64_t(r.end) - r.start + 1, newSize = end - r.start + 1;
        byStart_.update(r.start, [&](Run& x) { x.end = static_cast<W>(end); });
        bySize_.erase(Sizes::make(size, r.start));
        bySize_.insert(Sizes::make(newSize, r.start));
        total_ = total_ - size + newSize;
    }

    uint32_t maxRuns_;
    uint64_t total_ = 0;
    RunTree<ByStart<W>> byStart_;
    RunTree<BySize<W>> bySize_;
};

}  // namespace snapshot_detail
