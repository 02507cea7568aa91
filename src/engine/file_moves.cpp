#include "engine/file_moves.h"

#include <algorithm>

#include "config/dfrg_config.h"
#include "logging/log.h"
#include "platform/win32_types.h"
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

// Brings the snapshot up to date over `count` clusters from `first` (clipped to the volume).
void refreshRange(CDfrgContext& context, uint64_t first, uint64_t count) {
    const uint64_t total = context.volume().totalClusters();
    if (first == kNoCluster || count == 0 || first >= total) return;
    context.refreshSnapshot(first, std::min(total - 1, first + (count - 1)));
}

bool sameRanges(const CFileExtentList& a, const CFileExtentList& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].lcn != b[i].lcn) return false;
    return true;
}

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

// A refused move can only have been wrong about the target range, and may have moved part of
// the file: those ranges are refreshed, nothing else (a whole rebuild would find nothing more).
// The caller's list is kept true; a file that cannot be read keeps the list it had.
void refreshAfterRefusal(CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents, uint64_t target,
                         uint64_t clusters) {
    refreshRange(context, target, clusters);
    CFileExtentList fresh;
    if (!file.getFileExtents(fresh) || sameRanges(fresh, extents)) return;
    context.updateSnapshotExt(extents);
    context.updateSnapshotExt(fresh);
    extents.swap(fresh);
}

// Only a target that was not free as the snapshot said is worth another try: the refresh after
// the refusal shows the truth. Access denied, a unit larger than a move, an extent list that
// does not cover the file stay as they are.
bool retryable(int32_t result) { return result == ERROR_INVALID_PARAMETER; }

// Whether a contiguous file is to leave its place. Moving it costs a copy of the file, so it
// must gain something that no later move takes back. Such a move never makes the free runs more,
// the largest free run smaller or the sum of the squares of the free runs smaller (the hole it
// leaves merges what lies on both sides, and the run it goes to is no larger than that hole). So
// it gains when the free runs become fewer (freedRuns, the runs merged away or filled, is above
// the one the hole adds), when the hole (`area`) is larger than every free run, or, while a
// fragmented file waits for a run that no free run can give, when the free space comes together
// a little more (`consolidates`: the sum of squares grows). None of these can go back, so the
// moves come to an end on any disk.
bool worthMoving(const CPassState& state, const CExtentSnapshot& snapshot, uint64_t freedRuns, uint64_t area,
                 bool consolidates) {
    if (freedRuns > 1 || firstFit(snapshot, area) == kNoCluster) return true;
    const uint64_t need = state.waitingNeed();
    return consolidates && need != 0 && firstFit(snapshot, need) == kNoCluster;
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
void countNonDefraggable(const LogScope& scope, CPassState& state, CDfrgContext& context, const CDfrgFile& file,
                         uint64_t clusters, uint64_t triedRun) {
    ++state.counters.nonDefraggable;
    const uint64_t totalFree = context.totalFreeClusters();
    bool pureSpace = false;
    if (totalFree != kNoCluster) {
        const uint64_t outside = totalFree > triedRun ? totalFree - triedRun : 0;
        pureSpace = static_cast<int64_t>(outside) - static_cast<int64_t>(clusters) < kPureSpaceMargin;
    }
    logMove(scope, LogPriority::Informal, "No free run is large enough for the file.", file, clusters, kNoCluster);
    if (pureSpace) {
        ++state.counters.nonDefraggablePureSpace;
        return;
    }
    state.noteNeededRun(clusters);
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
            countNonDefraggable(scope, state, context, file, clusters, triedRun);
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
            // Moved, but no longer readable (deleted meanwhile): nothing more to do here.
            if (pieces == 0) return true;
            // Moved whole and still in pieces: the run was not all free.
            refreshRange(context, target, clusters);
            if (attempt == 0) continue;
            logMove(scope, LogPriority::Alert, "Warning: defragmented file ended up having more than one extent.", file,
                    clusters, target);
            ++state.counters.errors;
            state.refused.insert(file.path());
            return true;
        }
        defragged = false;
        if (attempt == 1 && retryable(result)) {
            // Twice refused at the best run: try the next best, and leave this run out of the
            // free space that could still hold the file.
            excluded = target;
            triedRun = freeRunAfter(*snapshot, target - 1);
        }
        refreshAfterRefusal(context, file, extents, target, clusters);
        if (attempt >= 2 || !retryable(result)) {
            logMove(scope, LogPriority::Warning, "Error defragmenting File. Giving up.", file, clusters, target, &result);
            ++state.counters.errors;
            state.refused.insert(file.path());
            return true;
        }
    }
}

bool moveToLeftBorder(CPassState& state, CDfrgContext& context, CDfrgFile& file, CFileExtentList& extents, bool& moved) {
    LogScope scope("moveToLeftBorder");
    moved = false;
    CExtentSnapshot* snapshot = snapshotOf(context);
    uint64_t low = kNoCluster, high = kNoCluster;
    if (!snapshot || extents.empty() || !lowestLcn(extents, low) || !highestLcn(extents, high)) return true;
    const uint64_t leftStart = startOfRunBefore(*snapshot, extents.front().lcn);
    if (leftStart == kNoCluster) return true;
    state.sendStatus(WString(), kStatusUnchanged, kDetailLeftMove);
    if (leftStart >= low) return true;
    const uint64_t gap = low - leftStart;
    const uint64_t clusters = totalLogicalClusters(extents);
    const uint64_t virtualClusters = totalVirtualClusters(extents);

    // Towards the start only when asked to, or when the move gains: the gap and the free run
    // after the file become one (which may also make the largest free run).
    const uint64_t after = freeRunAfter(*snapshot, high);
    const bool asked = state.config && state.config->doMoveLeft();
    if (!asked && !worthMoving(state, *snapshot, 1 + (after > 0 ? 1 : 0), gap + after, false)) return true;

    // A file that fits into the gap goes there in one move. Otherwise it shifts in steps of at
    // most the gap, each into clusters the steps before it freed; with a small gap and a large
    // file those are too many, and parking the file elsewhere first would move it twice.
    int32_t result;
    if (gap >= clusters) result = file.moveClustersTo(leftStart, virtualClusters, 0);
    else if (!(gap < 30 && clusters / gap > 3) && gap >= largestRun(extents)) result = file.shiftFileLeft(gap);
    else return true;
    if (result == 0) {
        ++state.counters.moved;
        moved = true;
    } else {
        ++state.counters.errors;
        state.refused.insert(file.path());
        refreshRange(context, leftStart, std::min(gap, clusters));
    }

    const size_t pieces = afterMoveCheck(context, file, extents);
    if (moved && pieces > 1) {
        moved = false;
        --state.counters.moved;
        ++state.counters.errors;
        logMove(scope, LogPriority::Alert, "Warning: moved file (left) ended up having more than one extent.", file,
                clusters, leftStart);
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
    // file's own neighbours, or when the hole is not the room a waiting file needs.
    if (target != kNoCluster &&
        (runLength > before + clusters + after || target == high + 1 || target == low - before ||
         !worthMoving(state, *snapshot, (before > 0) + (after > 0) + (runLength == clusters ? 1u : 0u),
                      before + clusters + after, (before > 0 && after > 0) || runLength < before + clusters + after)))
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
        ++state.counters.errors;
        state.refused.insert(file.path());
        refreshRange(context, target, clusters);
    }

    const size_t pieces = afterMoveCheck(context, file, extents);
    if (moved && pieces > 1) {
        moved = false;
        --state.counters.moved;
        ++state.counters.errors;
        logMove(scope, LogPriority::Alert, "Error: moved file (better) ended up having more than one extent!", file,
                clusters, target);
    }
    return true;
}
