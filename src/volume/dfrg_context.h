// The per-volume context that every long operation of the engine carries: it owns the volume
// and its free-space snapshot, and holds the run and stop events through which the controller
// pauses and stops the worker. checkState() is the one pause and stop test of the worker's loops.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/text.h"
#include "volume/change_tracker.h"
#include "volume/dfrg_volume.h"
#include "volume/extent.h"

class CExtentSnapshot;

// The settings the volume layer reads; the engine fills it from the settings object.
struct CDfrgVolumeSettings {
    uint32_t maxClusterMoveCount = 1024;   // clusters per move call, 0 = no limit
    uint32_t maxExtentListSize = 1048576;  // free runs kept in the snapshot
    WString stateDirectory = u"..\\state\\";
};

// Told when the worker pauses inside checkState and when it goes on (on the worker thread).
class PauseListener {
public:
    virtual void onPause() = 0;
    virtual void onResume() = 0;

protected:
    ~PauseListener() = default;
};

// The process-wide listener registry; thread safe.
void addPauseListener(PauseListener* listener);
void removePauseListener(PauseListener* listener);

class CDfrgContext {
public:
    // Takes ownership of the volume.
    CDfrgContext(std::unique_ptr<CDfrgVolume> volume, int32_t volumeIndex, const CDfrgVolumeSettings& settings);
    virtual ~CDfrgContext();
    CDfrgContext(const CDfrgContext&) = delete;
    CDfrgContext& operator=(const CDfrgContext&) = delete;

    CDfrgVolume& volume() { return *volume_; }
    const CDfrgVolumeSettings& settings() const { return settings_; }

    // Any thread: stop is final; pause blocks the worker in checkState until resumed. A caller
    // that stops a paused worker also resumes it, so that it can see the stop.
    void stopAll();
    void setPaused(bool pause);
    bool isPaused();

    // Worker thread: a timed hold of the volume.
    void holdFor(uint32_t ms);
    bool isHolding();

    int32_t passCount() const { return passCount_; }
    void setPassCount(int32_t n) { passCount_ = n; }
    int32_t panicPassCount() const { return panicPassCount_; }
    void setPanicPassCount(int32_t n) { panicPassCount_ = n; }
    void resetPassCounters() { passCount_ = panicPassCount_ = -1; }
    int32_t volumeIndex() const { return volumeIndex_; }
    void setVolumeIndex(int32_t index) { volumeIndex_ = index; }

    // --- Free-space snapshot (worker thread).
    // Builds a new snapshot of the whole volume; always true.
    bool makeExtentSnapshot();
    // Rescans [first, last] into the snapshot; 0 and kNoCluster rebuild it whole. Always true.
    bool refreshSnapshot(uint64_t first, uint64_t last);
    // Rescans the ranges of a file's extents after the file moved. Always true.
    bool updateSnapshotExt(const CFileExtentList& extents);
    // The snapshot (valid until the next makeExtentSnapshot), or null and false before the first.
    bool snapshot(CExtentSnapshot*& out);
    // Sum of the free runs; kNoCluster without snapshot.
    uint64_t totalFreeClusters();
    // Bytes the snapshot holds; 0 without snapshot.
    uint32_t snapshotMemory();
    uint32_t snapshotBuildTime() const { return snapshotBuildTime_; }

    // Clusters the file moves of this context have put in a new place (worker thread).
    uint64_t clustersMoved() const { return clustersMoved_; }
    void addClustersMoved(uint64_t clusters) { clustersMoved_ += clusters; }

    // Where the volume's change tracker keeps its state: the state directory, "changeTrack_" and
    // the drive letter (its state file adds "_manual").
    const WString& changeTrackerBasePath() const { return changeTrackerBasePath_; }
    // The volume's change tracker (worker thread).
    CVolumeChangeTracker& changeTracker() { return *changeTracker_; }

private:
    friend void checkState(CDfrgContext& context);

    std::unique_ptr<CDfrgVolume> volume_;
    platform::Event runEvent_{platform::Event::Reset::Manual, true};
    uint32_t snapshotBuildTime_ = 0;
    CCriticalSection snapshotLock_;
    std::unique_ptr<CExtentSnapshot> snapshot_;
    int32_t volumeIndex_;
    WString changeTrackerBasePath_;
    // Created by the constructor, deleted by the destructor after the snapshot (saving its
    // pending changes while tracking is on).
    std::unique_ptr<CVolumeChangeTracker> changeTracker_;
    int32_t passCount_ = -1;
    int32_t panicPassCount_ = -1;
    platform::Event stopEvent_{platform::Event::Reset::Manual, false};
    bool holdActive_ = false;
    uint32_t holdDeadline_ = 0;
    CDfrgVolumeSettings settings_;
    uint64_t clustersMoved_ = 0;
};

// Returns at once when the last poll (of any context) was less than 500 ms ago. Otherwise blocks
// while the context is paused (telling the pause listeners) and throws
// CDfrgException(ErrorStopRequested) with an empty message once a stop was requested.
void checkState(CDfrgContext& context);

