#include "engine/file_moves.h"

#include "logging/log.h"
#include "volume/extent_snapshot.h"

namespace {

// A fragmented file for which no run is large enough fails "for pure space reasons" when the free
// space outside the run already tried exceeds it by fewer than this many clusters.
constexpr int64_t kPureSpaceMargin = 4096;

// Status details sent before a move.
constexpr int32_t kStatusUnchanged = 6;
constexpr int32_t kDetailDefragMove = 0;
constexpr int32_t kDetailLeftMove = 1;
constexpr int32_t kDetailBetterMove = 2;

CExtentSnapshot* snapshotOf(CDfrgContext& context) {
    CExtentSnapshot* snapshot = nullptr;
    context.snapshot(snapshot);
    return snapshot;
}

void fullRefresh(CDfrgContext& context) { context.refreshSnapshot(0, kNoCluster); }

// The snapshot is brought up to date over the clusters the file left and the clusters it now
// holds; returns how many pieces the file has now (0 when it can no longer be read).
size_t afterMoveCheck(CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents) {
    CFileExtentList old;
    old.swap(extents);
    context.updateSnapshotExt(old);
    file.getFileExtents(extents);
    context.updateSnapshotExt(extents);
    return countFragments(extents);
}

// After a refused move part of the file may have moved; keep the caller's list true. A file that
// cannot be read keeps the list it had.
void rereadAfterFailure(CDfrgFile& file, CFileExtentList& extents) {
    CFileExtentList fresh;
    if (file.getFileExtents(fresh)) extents.swap(fresh);
}

void logMove(const LogScope& scope, int priority, const char* text, const CDfrgFile& file, uint64_t clusters,
             uint64_t target, const int32_t* error = nullptr) {
    LogMessage message(scope, priority);
    message.text(text)
        .prop("FileName", platform::utf16ToUtf8(file.path()))
        .prop("Number of Clusters", clusters)
        .prop("Target LCN", target);
    if (error) message.prop("Error", *error);
}

// No run holds the file: count it, and remember it for the end of the scan pass unless it
// cannot fit for lack of free space anyway.
void countNonDefraggable(CPassState& state, CDfrgContext& context, const CDfrgFile& file, uint64_t clusters,
                         uint64_t triedRun) {
    ++state.counters.nonDefraggable;
    const uint64_t totalFree = context.totalFreeClusters();
    bool pureSpace = false;
    if (totalFree != kNoCluster) {
        const uint64_t outside = totalFree > triedRun ? totalFree - triedRun : 0;
        pureSpace = static_cast<int64_t>(outside) - static_cast<int64_t>(clusters) < kPureSpaceMargin;
    }
    if (pureSpace) {
        ++state.counters.nonDefraggablePureSpace;
        return;
    }
    if (!state.scanActive || state.retryOverflow) return;
    if (state.retryFiles.size() >= CPassState::kMaxRetryFiles) {
        // Too many to retry one by one: the next pass sees them all anyway.
        state.retryOverflow = true;
        state.retryFiles.clear();
    } else {
        state.retryFiles.push_back(file.path());
    }
}

}  // namespace

size_t countFragments(const CFileExtentList& extents) {
    size_t pieces = 0;
    uint64_t expected = kNoCluster;
    for (const CFileExtent& e : extents) {
        if (!e.lcn.valid()) continue;
        if (e.lcn.start != expected) ++pieces;
        expected = e.lcn.end + 1;
    }
    return pieces;
}

bool defragFile(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents, bool& defragged) {
    LogScope scope("defragFile");
    defragged = false;
    CExtentSnapshot* snapshot = snapshotOf(context);
    if (!snapshot) return true;
    uint64_t excluded = kNoCluster;
    uint64_t triedRun = 0;
    for (int attempt = 0;; ++attempt) {
        defragged = false;
        if (countFragments(extents) <= 1) return true;
        const uint64_t clusters = totalLogicalClusters(extents);
        const uint64_t virtualClusters = totalVirtualClusters(extents);
        const uint64_t target = bestFit(*snapshot, clusters, excluded);
        if (target == kNoCluster) {
            countNonDefraggable(state, context, file, clusters, triedRun);
            return true;
        }
        defragged = true;
        state.sendStatus(WString(), kStatusUnchanged, kDetailDefragMove);
        int32_t result = file.moveClustersTo(target, virtualClusters, 0);
        if (result == 0) {
            const size_t pieces = afterMoveCheck(context, file, extents);
            if (pieces == 1) {
                ++state.counters.defragged;
                return true;
            }
            defragged = false;
            if (pieces == 0) {
                // Moved, but no longer readable (deleted meanwhile): nothing more to do here.
                fullRefresh(context);
                return true;
            }
            if (attempt == 0) {
                fullRefresh(context);
                continue;
            }
            logMove(scope, LogPriority::Alert, "Warning: defragmented file ended up having more than one extent.", file,
                    clusters, target);
            ++state.counters.errors;
            fullRefresh(context);
            return true;
        }
        defragged = false;
        if (attempt >= 2) {
            logMove(scope, LogPriority::Warning, "Error defragmenting File. Giving up.", file, clusters, target, &result);
            ++state.counters.errors;
            fullRefresh(context);
            return true;
        }
        if (attempt == 1) {
            // Twice refused at the best run: try the next best, and leave this run out of the
            // free space that could still hold the file.
            excluded = target;
            triedRun = freeRunAfter(*snapshot, target - 1);
        }
        fullRefresh(context);
        rereadAfterFailure(file, extents);
    }
}

bool moveToLeftBorder(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents, bool& moved) {
    LogScope scope("moveToLeftBorder");
    moved = false;
    CExtentSnapshot* snapshot = snapshotOf(context);
    uint64_t low = kNoCluster;
    if (!snapshot || extents.empty() || !lowestLcn(extents, low)) return true;
    const uint64_t leftStart = startOfRunBefore(*snapshot, extents.front().lcn);
    if (leftStart == kNoCluster) return true;
    state.sendStatus(WString(), kStatusUnchanged, kDetailLeftMove);
    if (leftStart >= low) return true;
    const uint64_t gap = low - leftStart;
    const uint64_t clusters = totalLogicalClusters(extents);
    const uint64_t virtualClusters = totalVirtualClusters(extents);

    // A shift moves at most `gap` clusters per step; with a small gap and a large file that is
    // many steps, so the file is parked elsewhere and moved back in two moves instead.
    const bool direct = !(gap < 30 && clusters / gap > 3) && gap >= largestRun(extents);
    if (direct) {
        if (file.shiftFileLeft(gap) == 0) {
            ++state.counters.moved;
            moved = true;
        } else {
            ++state.counters.errors;
            fullRefresh(context);
        }
    } else {
        const uint64_t parking = firstFit(*snapshot, clusters);
        if (parking != kNoCluster) {
            if (file.moveClustersTo(parking, virtualClusters, 0) != 0 ||
                file.moveClustersTo(leftStart, virtualClusters, 0) != 0) {
                ++state.counters.errors;
                // The free space was not what the snapshot said.
                fullRefresh(context);
            } else {
                ++state.counters.moved;
                moved = true;
            }
        }
    }

    const size_t pieces = afterMoveCheck(context, file, extents);
    if (moved && pieces > 1) {
        moved = false;
        --state.counters.moved;
        ++state.counters.errors;
        logMove(scope, LogPriority::Alert, "Warning: moved file (left) ended up having more than one extent.", file,
                clusters, leftStart);
        fullRefresh(context);
    }
    return true;
}

bool moveToBetterPlace(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents,
                       bool& moved) {
    LogScope scope("moveToBetterPlace");
    moved = false;
    CExtentSnapshot* snapshot = snapshotOf(context);
    if (!snapshot) return true;
    uint64_t low = kNoCluster, high = kNoCluster;
    const uint64_t before = lowestLcn(extents, low) ? freeRunBefore(*snapshot, low) : 0;
    const uint64_t after = highestLcn(extents, high) ? freeRunAfter(*snapshot, high) : 0;
    // A file that touches no free space leaves no hole that would merge with anything.
    if (before + after == 0) return true;

    const uint64_t clusters = totalLogicalClusters(extents);
    const uint64_t virtualClusters = totalVirtualClusters(extents);
    uint64_t target = bestFit(*snapshot, clusters, kNoCluster);
    const uint64_t runLength = target == kNoCluster ? 0 : freeRunAfter(*snapshot, target - 1);
    if (runLength == 0) target = kNoCluster;
    // No gain when the run is larger than the hole the move leaves, or when it is one of the
    // file's own neighbours.
    if (target != kNoCluster && (runLength > before + clusters + after || target == high + 1 || target == low - before))
        target = kNoCluster;
    if (target == kNoCluster) {
        if (before > 0 && after > 0) return moveToLeftBorder(state, context, file, extents, moved);
        return true;
    }

    moved = true;
    state.sendStatus(WString(), kStatusUnchanged, kDetailBetterMove);
    if (file.moveClustersTo(target, virtualClusters, 0) == 0) {
        ++state.counters.moved;
    } else {
        moved = false;
        fullRefresh(context);
        ++state.counters.errors;
    }

    const size_t pieces = afterMoveCheck(context, file, extents);
    if (moved && pieces > 1) {
        moved = false;
        --state.counters.moved;
        ++state.counters.errors;
        logMove(scope, LogPriority::Alert, "Error: moved file (better) ended up having more than one extent!", file,
                clusters, target);
        fullRefresh(context);
    }
    return true;
}
