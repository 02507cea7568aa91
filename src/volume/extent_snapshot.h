// The free-space snapshot: a volume's free runs in ascending LCN order, built from the volume
// bitmap and refreshed over the ranges where data has just moved, with the searches the move
// strategies make.
//
// The runs are held in two ordered indexes (by start, and by size then start) of flat nodes;
// every search is logarithmic and answers exactly as a walk of the runs in LCN order would.
// Runs are always kept apart (a refresh joins the runs it makes touch), so after any series of
// refreshes the snapshot is the one a fresh build over the same bitmap gives, as long as the
// list has not reached its bound.
//
// Not thread safe by itself: the owning context's snapshot lock guards every change; the
// searches run on the worker thread, the only writer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/lock.h"
#include "volume/extent.h"

class CDfrgVolume;

class CExtentSnapshot {
public:
    using Runs = std::vector<CExtent>;

    // At most maxRuns free runs are kept; when full, only runs larger than the smallest get in.
    explicit CExtentSnapshot(uint32_t maxRuns);
    ~CExtentSnapshot();
    CExtentSnapshot(const CExtentSnapshot&) = delete;
    CExtentSnapshot& operator=(const CExtentSnapshot&) = delete;

    // The runs in LCN order (a copy).
    Runs runs() const;
    size_t size() const;
    void clear();

    // The clusters of `run` are free: joined with the runs they overlap or touch. A run that
    // joins none needs a place of its own; a full list gives it the place of its smallest run
    // when it is strictly larger, and otherwise drops it.
    void addFreeRun(const CExtent& run);
    // The clusters of `range` are in use: taken out of the runs. A split that takes a full list
    // past its bound drops the smallest run.
    void markUsed(const CExtent& range);

    // The run that gives way when the list is full: the smallest, the lowest LCN among equals;
    // the invalid extent when empty.
    CExtent smallestRun() const;
    // Sum of all run sizes.
    uint64_t totalFree() const;
    // Bytes of memory the snapshot holds.
    size_t memoryBytes() const;

    // The run that starts at lcn / ends at lcn; the invalid extent when there is none.
    CExtent runStartingAt(uint64_t lcn) const;
    CExtent runEndingAt(uint64_t lcn) const;
    // The starts that firstFit and bestFit below give.
    uint64_t firstFitStart(uint64_t n) const;
    uint64_t bestFitStart(uint64_t n, uint64_t skipLcn) const;

private:
    friend void scanVolumeBitmap(CDfrgVolume&, CExtentSnapshot&, CCriticalSection&, uint64_t, uint64_t, bool,
                                 const std::function<void()>&);
    struct Impl;
    std::unique_ptr<Impl> impl_;
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

// Reads the volume bitmap over [first, last] (last kNoCluster: to the end of the volume; a last
// past the end stops there) into the snapshot. Build mode empties the snapshot and records the
// free runs; refresh mode makes the range match the bitmap, every cluster of it tested, joined
// with the runs on either side. `lock` is taken around every change of the snapshot;
// `checkState` is called after every chunk of the bitmap and may throw (what was read until then
// is kept). A bitmap call that fails, or that answers without a cluster to go on with, ends the
// scan with what was found.
void scanVolumeBitmap(CDfrgVolume& volume, CExtentSnapshot& snapshot, CCriticalSection& lock, uint64_t first,
                      uint64_t last, bool refresh, const std::function<void()>& checkState);
