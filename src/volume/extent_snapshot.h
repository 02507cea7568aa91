// The free-space snapshot: a volume's free runs in ascending LCN order, built from the volume
// bitmap and refreshed over the ranges where data has just moved, with the searches the move
// strategies make.
//
// Not thread safe by itself: the owning context's snapshot lock guards every change; the
// searches run on the worker thread, the only writer.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <set>
#include <utility>

#include "platform/lock.h"
#include "volume/extent.h"

class CDfrgVolume;

class CExtentSnapshot {
public:
    using Runs = std::list<CExtent>;

    // At most maxRuns free runs are kept; when full, only runs larger than the smallest get in.
    // Without `indexed`, every search walks the list (the reference the indexes are held to).
    explicit CExtentSnapshot(uint32_t maxRuns, bool indexed = true)
        : maxRuns_(maxRuns), smallest_(runs_.end()), indexing_(indexed), indexed_(indexed) {}
    CExtentSnapshot(const CExtentSnapshot&) = delete;
    CExtentSnapshot& operator=(const CExtentSnapshot&) = delete;

    const Runs& runs() const { return runs_; }
    size_t size() const { return runs_.size(); }
    void clear();

    // Records a free run: appended (build) or inserted in order and merged with the runs it
    // touches (ordered, when refreshing).
    void addFreeRun(const CExtent& run, bool ordered);
    // Takes the clusters of `range` out of the free runs (refreshing).
    void markUsed(const CExtent& range);

    // The run that gives way when the list is full; null when unknown.
    const CExtent* smallestRun() const { return smallest_ == runs_.end() ? nullptr : &*smallest_; }

    // Sum of all run sizes.
    uint64_t totalFree() const;

    // The first run (in list order) that starts at lcn / ends at lcn, as the searches below find
    // them; null when there is none.
    const CExtent* runStartingAt(uint64_t lcn) const;
    const CExtent* runEndingAt(uint64_t lcn) const;
    // The start of the run bestFit chooses.
    uint64_t bestFitStart(uint64_t n, uint64_t skipLcn) const;

private:
    void recomputeSmallest();
    // The indexes hold every run by its start and by its size while the runs are in ascending
    // order and apart (each ends before the next begins, touching allowed), as a build leaves
    // them and as refreshes keep them. Then positions and fits are found in logarithmic time
    // instead of walking the list, with the same results. A refresh can leave overlapping runs (a
    // range refreshed while the list already held some of its clusters as free); the indexes are
    // then dropped, and every search walks the list as before, until the list is emptied.
    void indexAdd(Runs::iterator it);
    void indexRemove(Runs::iterator it);
    void dropIndex();
    void dropIndexUnlessApart(Runs::iterator it);
    // Changes a run's bounds, keeping the indexes.
    void setBounds(Runs::iterator it, uint64_t start, uint64_t end);
    // The last run starting at or before lcn (indexed lists only); end() when none.
    Runs::iterator lastStartingAtOrBefore(uint64_t lcn);

    uint32_t maxRuns_;
    Runs runs_;
    Runs::iterator smallest_;
    std::map<uint64_t, Runs::iterator> index_;
    std::set<std::pair<uint64_t, uint64_t>> bySize_;  // (size, start)
    bool indexing_;
    bool indexed_;
};

// Start LCN of the first run of at least n clusters; kNoCluster when none.
uint64_t firstFit(const CExtentSnapshot& snapshot, uint64_t n);
// Start LCN of the smallest run of at least n clusters not starting at skipLcn (the lowest LCN
// among equals; an exact fit ends the search); kNoCluster when none.
uint64_t bestFit(const CExtentSnapshot& snapshot, uint64_t n, uint64_t skipLcn);
// Size of the free run starting at x + 1; 0 when there is none.
uint64_t freeRunAfter(const CExtentSnapshot& snapshot, uint64_t x);
// Size of the free run ending at x - 1; 0 when there is none.
uint64_t freeRunBefore(const CExtentSnapshot& snapshot, uint64_t x);
// Start LCN of the free run ending at e.start - 1; kNoCluster when none or e.start is invalid.
uint64_t startOfRunBefore(const CExtentSnapshot& snapshot, const CExtent& e);

// Reads the volume bitmap over [first, last] (last kNoCluster: to the end of the volume) into
// the snapshot: in build mode the snapshot is emptied and the free runs appended; in refresh
// mode free runs are inserted and merged and used runs taken out. `lock` is taken around every
// change of the snapshot; `checkState` is called after every chunk of the bitmap and may throw.
// A bitmap call that fails ends the scan with what was found.
void scanVolumeBitmap(CDfrgVolume& volume, CExtentSnapshot& snapshot, CCriticalSection& lock, uint64_t first,
                      uint64_t last, bool refresh, const std::function<void()>& checkState);
