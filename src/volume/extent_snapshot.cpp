#include "volume/extent_snapshot.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/last_error.h"
#include "volume/dfrg_volume.h"

// ---------------------------------------------------------------- the list

void CExtentSnapshot::clear() {
    runs_.clear();
    smallest_ = runs_.end();
    index_.clear();
    bySize_.clear();
    indexed_ = indexing_;
}

void CExtentSnapshot::dropIndex() {
    indexed_ = false;
    index_.clear();
    bySize_.clear();
}

void CExtentSnapshot::indexAdd(Runs::iterator it) {
    if (!indexed_) return;
    if (!index_.emplace(it->start, it).second) return dropIndex();
    bySize_.emplace(it->size(), it->start);
}

void CExtentSnapshot::indexRemove(Runs::iterator it) {
    if (!indexed_) return;
    auto found = index_.find(it->start);
    if (found == index_.end() || found->second != it) return;
    index_.erase(found);
    bySize_.erase({it->size(), it->start});
}

void CExtentSnapshot::setBounds(Runs::iterator it, uint64_t start, uint64_t end) {
    indexRemove(it);
    it->start = start;
    it->end = end;
    indexAdd(it);
}

void CExtentSnapshot::dropIndexUnlessApart(Runs::iterator it) {
    if (!indexed_ || it == runs_.end()) return;
    const bool apartFromPrevious = it == runs_.begin() || std::prev(it)->end < it->start;
    const bool apartFromNext = std::next(it) == runs_.end() || it->end < std::next(it)->start;
    if (!apartFromPrevious || !apartFromNext) dropIndex();
}

uint64_t CExtentSnapshot::bestFitStart(uint64_t n, uint64_t skipLcn) const {
    if (indexed_) {
        // Runs in LCN order: the smallest fitting size, the lowest LCN among equals (which is
        // also the first exact fit in LCN order).
        auto it = bySize_.lower_bound({n, 0});
        if (it != bySize_.end() && it->second == skipLcn) ++it;
        return it == bySize_.end() ? kNoCluster : it->second;
    }
    const CExtent* best = nullptr;
    for (const CExtent& r : runs_) {
        if (r.start == skipLcn || r.size() < n) continue;
        if (!best || r.size() < best->size()) best = &r;
        if (r.size() == n) break;
    }
    return best ? best->start : kNoCluster;
}

CExtentSnapshot::Runs::iterator CExtentSnapshot::lastStartingAtOrBefore(uint64_t lcn) {
    auto pos = index_.upper_bound(lcn);
    return pos == index_.begin() ? runs_.end() : std::prev(pos)->second;
}

const CExtent* CExtentSnapshot::runStartingAt(uint64_t lcn) const {
    if (indexed_) {
        auto found = index_.find(lcn);
        return found == index_.end() ? nullptr : &*found->second;
    }
    for (const CExtent& r : runs_) {
        if (r.start == lcn) return &r;
        if (r.start > lcn) break;
    }
    return nullptr;
}

const CExtent* CExtentSnapshot::runEndingAt(uint64_t lcn) const {
    if (indexed_) {
        // Runs apart from each other: only the last run starting at or before lcn can end there.
        auto pos = index_.upper_bound(lcn);
        if (pos == index_.begin()) return nullptr;
        const CExtent& r = *std::prev(pos)->second;
        return r.end == lcn ? &r : nullptr;
    }
    for (const CExtent& r : runs_) {
        if (r.end == lcn) return &r;
        if (r.end > lcn) break;
    }
    return nullptr;
}

uint64_t CExtentSnapshot::totalFree() const {
    uint64_t total = 0;
    for (const CExtent& r : runs_) total += r.size();
    return total;
}

void CExtentSnapshot::recomputeSmallest() {
    if (indexed_ && !bySize_.empty()) {
        // The first of the smallest in LCN order, as the walk below finds it.
        smallest_ = index_.at(bySize_.begin()->second);
        return;
    }
    smallest_ = runs_.end();
    for (auto it = runs_.begin(); it != runs_.end(); ++it)
        if (smallest_ == runs_.end() || it->size() < smallest_->size()) smallest_ = it;
}

void CExtentSnapshot::addFreeRun(const CExtent& run, bool ordered) {
    bool removed = false;
    if (runs_.size() >= maxRuns_) {
        if (maxRuns_ == 0) return;
        if (smallest_ == runs_.end()) recomputeSmallest();
        if (run.size() <= smallest_->size()) return;
        indexRemove(smallest_);
        runs_.erase(smallest_);
        smallest_ = runs_.end();
        removed = true;
    }

    Runs::iterator added;
    if (!ordered) {
        added = runs_.insert(runs_.end(), run);
    } else {
        Runs::iterator pos;
        if (indexed_) {
            auto at = index_.lower_bound(run.start);
            pos = at == index_.end() ? runs_.end() : at->second;
        } else {
            pos = std::find_if(runs_.begin(), runs_.end(), [&](const CExtent& r) { return r.start >= run.start; });
        }
        added = runs_.insert(pos, run);
    }
    indexAdd(added);

    if (removed) {
        recomputeSmallest();
    } else if (smallest_ == runs_.end() || runs_.size() == 1 || added->size() < smallest_->size()) {
        smallest_ = added;
    }

    if (!ordered || runs_.size() < 2) {
        dropIndexUnlessApart(added);
        return;
    }
    // Merge forward from the run before the new one; the walk ends at the first pair that does
    // not touch.
    bool markerTouched = false;
    auto current = added == runs_.begin() ? added : std::prev(added);
    for (auto next = std::next(current); next != runs_.end(); next = std::next(current)) {
        if (next->start > current->end + 1) break;
        // The successor's entries go before the merged run's bounds change, so that the indexes
        // never hold two runs of one start.
        indexRemove(next);
        const uint64_t nextEnd = next->end;
        if (next == smallest_) {
            markerTouched = true;
            smallest_ = runs_.end();
        }
        runs_.erase(next);
        if (nextEnd > current->end) {
            setBounds(current, current->start, nextEnd);
            if (current == smallest_) markerTouched = true;
        }
    }
    dropIndexUnlessApart(current);
    if (std::next(current) != runs_.end()) dropIndexUnlessApart(std::next(current));
    if (markerTouched) recomputeSmallest();
}

void CExtentSnapshot::markUsed(const CExtent& range) {
    const uint64_t u = range.start, v = range.end;
    auto becameSmaller = [&](Runs::iterator it) {
        if (smallest_ != runs_.end() && it->size() < smallest_->size()) smallest_ = it;
    };
    auto it = runs_.begin();
    if (indexed_) {
        // Runs apart from each other: none before the last one starting at or before u can reach u.
        auto from = lastStartingAtOrBefore(u);
        if (from != runs_.end()) it = from;
    }
    while (it != runs_.end()) {
        if (it->start > v) break;
        if (it->end < u) {
            ++it;
            continue;
        }
        if (it->start >= u && it->end <= v) {
            if (it == smallest_) smallest_ = runs_.end();
            indexRemove(it);
            it = runs_.erase(it);
            continue;
        }
        if (it->start >= u) {  // overlaps at its front
            setBounds(it, v + 1, it->end);
            becameSmaller(it);
        } else if (it->end <= v) {  // overlaps at its back
            setBounds(it, it->start, u - 1);
            becameSmaller(it);
        } else {  // holds the range with room on both sides
            CExtent back(v + 1, it->end);
            setBounds(it, it->start, u - 1);
            auto second = runs_.insert(std::next(it), back);
            indexAdd(second);
            becameSmaller(it);
            becameSmaller(second);
            it = second;
        }
        ++it;
    }
    if (smallest_ == runs_.end()) recomputeSmallest();
}

// ---------------------------------------------------------------- searches

uint64_t firstFit(const CExtentSnapshot& snapshot, uint64_t n) {
    for (const CExtent& r : snapshot.runs())
        if (r.size() >= n) return r.start;
    return kNoCluster;
}

uint64_t bestFit(const CExtentSnapshot& snapshot, uint64_t n, uint64_t skipLcn) {
    return snapshot.bestFitStart(n, skipLcn);
}

uint64_t freeRunAfter(const CExtentSnapshot& snapshot, uint64_t x) {
    const CExtent* r = snapshot.runStartingAt(x + 1);
    return r ? r->size() : 0;
}

uint64_t freeRunBefore(const CExtentSnapshot& snapshot, uint64_t x) {
    const CExtent* r = snapshot.runEndingAt(x - 1);
    return r ? r->size() : 0;
}

uint64_t startOfRunBefore(const CExtentSnapshot& snapshot, const CExtent& e) {
    if (e.start == kNoCluster) return kNoCluster;
    const CExtent* r = snapshot.runEndingAt(e.start - 1);
    return r ? r->start : kNoCluster;
}

// ---------------------------------------------------------------- bitmap scan

namespace {

constexpr DWORD kRequestBytes = 9016;  // 16 bytes of header, 9000 of bitmap (72000 clusters)
constexpr size_t kBufferBytes = 9026;
constexpr size_t kHeader = offsetof(VOLUME_BITMAP_BUFFER, Buffer);

// The open free run or used run of the walk and what happens when one closes.
class RunTracker {
public:
    RunTracker(CExtentSnapshot& snapshot, CCriticalSection& lock, bool refresh)
        : snapshot_(snapshot), lock_(lock), refresh_(refresh) {}

    // Clusters [c, c + count - 1] all carry `used`.
    void take(uint64_t c, bool used) {
        if (used) {
            if (freeStart_ != kNoCluster) closeFree(c - 1);
            if (usedStart_ == kNoCluster) usedStart_ = c;
        } else {
            if (usedStart_ != kNoCluster) closeUsed(c - 1);
            if (freeStart_ == kNoCluster) freeStart_ = c;
        }
    }
    void finish(uint64_t lastCovered) {
        if (freeStart_ != kNoCluster) closeFree(lastCovered);
        if (usedStart_ != kNoCluster) closeUsed(lastCovered);
    }

private:
    void closeFree(uint64_t end) {
        CLockGuard guard(lock_);
        snapshot_.addFreeRun(CExtent(freeStart_, end), refresh_);
        freeStart_ = kNoCluster;
    }
    void closeUsed(uint64_t end) {
        if (refresh_) {
            CLockGuard guard(lock_);
            snapshot_.markUsed(CExtent(usedStart_, end));
        }
        usedStart_ = kNoCluster;
    }

    CExtentSnapshot& snapshot_;
    CCriticalSection& lock_;
    bool refresh_;
    uint64_t freeStart_ = kNoCluster;
    uint64_t usedStart_ = kNoCluster;
};

// 1 when `bytes` bytes at p are all 0, 2 when all 0xFF, else 0.
int uniform(const uint8_t* p, size_t bytes) {
    uint64_t word = 0;
    std::memcpy(&word, p, bytes);
    const uint64_t ones = bytes == 8 ? ~0ull : ((1ull << (8 * bytes)) - 1);
    if (word == 0) return 1;
    if (word == ones) return 2;
    return 0;
}

}  // namespace

void scanVolumeBitmap(CDfrgVolume& volume, CExtentSnapshot& snapshot, CCriticalSection& lock, uint64_t first,
                      uint64_t last, bool refresh, const std::function<void()>& checkState) {
    if (!refresh) {
        CLockGuard guard(lock);
        snapshot.clear();
    }
    const uint64_t total = volume.totalClusters();
    if (total == 0) return;
    const bool bounded = last != kNoCluster;
    // A range past the end of the volume stops at its end, where the bitmap does; its last
    // cluster is then walked like the others.
    if (bounded && last > total) last = total;
    const uint64_t end = bounded ? std::min(last, total - 1) : total - 1;
    if (first > end) return;

    std::vector<uint64_t> storage((kBufferBytes + 7) / 8);
    auto* buffer = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(storage.data());
    const uint8_t* bits = reinterpret_cast<const uint8_t*>(storage.data()) + kHeader;
    RunTracker tracker(snapshot, lock, refresh);
    uint64_t next = first;              // next cluster to look at
    uint64_t covered = kNoCluster;      // last cluster the walk has accounted for
    bool ended = false;

    while (!ended) {
        DWORD returned = 0;
        BOOL ok = volume.getVolumeBitmap(static_cast<LONGLONG>(next), buffer, kRequestBytes, &returned);
        const DWORD error = ok ? ERROR_SUCCESS : platform::lastError();
        if (!ok && error != ERROR_MORE_DATA) break;
        if (returned < kHeader) break;
        const uint64_t start = static_cast<uint64_t>(buffer->StartingLcn.QuadPart);
        const uint64_t count = std::min<uint64_t>(uint64_t(returned - kHeader) * 8,
                                                  static_cast<uint64_t>(buffer->BitmapSize.QuadPart));
        // An answer that begins after the clusters asked for would leave a hole in the walk.
        if (start > next) break;
        uint64_t idx = next - start;
        while (idx < count) {
            const uint64_t c = start + idx;
            if (bounded) {
                if (c > last) {
                    ended = true;
                    break;
                }
                // The last cluster of a range is taken to continue the run that is open.
                if (c == last && last != first) {
                    covered = last;
                    ended = true;
                    break;
                }
            }
            if (idx % 8 == 0 && total - c > 128) {
                bool skipped = false;
                for (size_t bytes : {8u, 4u, 2u, 1u}) {
                    const uint64_t width = bytes * 8;
                    if (idx + width > count || (bounded && c + width - 1 >= last)) continue;
                    int u = uniform(bits + idx / 8, bytes);
                    if (u == 0) continue;
                    tracker.take(c, u == 2);
                    idx += width;
                    covered = c + width - 1;
                    skipped = true;
                    break;
                }
                if (skipped) continue;
            }
            tracker.take(c, (bits[idx / 8] >> (idx % 8)) & 1u);
            covered = c;
            ++idx;
        }
        if (checkState) checkState();
        next = start + idx;
        if (error != ERROR_MORE_DATA || next > end) break;
    }
    if (covered != kNoCluster) tracker.finish(covered);
}
