#include "volume/dfrg_context.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/dfrg_exception.h"
#include "volume/extent_snapshot.h"
#include "volume/volume_change_feed.h"

namespace {

constexpr uint32_t kPollIntervalMs = 500;

// The time of the last state poll, shared by all contexts; a lost update only shifts the next
// poll. Kept with the clock's generation: after a change of clock the next call polls at once.
std::atomic<uint32_t> g_lastPoll{0};
std::atomic<uint32_t> g_pollGeneration{~0u};
// The longest piecewise refresh seen in this process.
std::atomic<uint32_t> g_longestRefresh{0};

uint32_t now() { return platform::tickCount(); }

std::mutex g_listenerLock;
std::vector<PauseListener*> g_listeners;

// Calls every registered listener without holding the registry lock during the call, so that
// a listener may register or unregister others.
template <class Call>
void notifyListeners(Call call) {
    std::unique_lock<std::mutex> guard(g_listenerLock);
    for (size_t i = 0; i < g_listeners.size(); ++i) {
        PauseListener* listener = g_listeners[i];
        guard.unlock();
        call(listener);
        guard.lock();
    }
}

}  // namespace

void addPauseListener(PauseListener* listener) {
    std::lock_guard<std::mutex> guard(g_listenerLock);
    g_listeners.push_back(listener);
}

void removePauseListener(PauseListener* listener) {
    std::lock_guard<std::mutex> guard(g_listenerLock);
    auto it = std::find(g_listeners.begin(), g_listeners.end(), listener);
    if (it != g_listeners.end()) g_listeners.erase(it);
}

CDfrgContext::CDfrgContext(std::unique_ptr<CDfrgVolume> volume, int32_t volumeIndex,
                           const CDfrgVolumeSettings& settings)
    : volumeIndex_(volumeIndex), settings_(settings) {
    CLockGuard guard(snapshotLock_);
    volume_ = std::move(volume);
    changeTrackerBasePath_ = settings_.stateDirectory + u"changeTrack_" + WString(1, volume_->driveLetter());
    // The tracker opens the feed only inside startTracking, while the volume is certainly alive.
    changeTracker_ = std::make_unique<CVolumeChangeTracker>(volume_->driveLetter(), changeTrackerBasePath_,
                                                            [this] { return volume_->openChangeFeed(); });
}

CDfrgContext::~CDfrgContext() {
    LogScope scope("~CDfrgContext");
    logText(scope, LogPriority::Informal, "Begin");
    {
        CLockGuard guard(snapshotLock_);
        volume_.reset();
        snapshot_.reset();
    }
    // Outside the snapshot lock: a react step takes the tracker's lock first and the snapshot
    // lock inside it.
    changeTracker_.reset();
    logText(scope, LogPriority::Informal, "End");
}

void CDfrgContext::stopAll() {
    LogScope scope("DfrgContext::stopAll");
    logText(scope, LogPriority::Informal, "Setting stop event");
    stopEvent_.set();
}

void CDfrgContext::setPaused(bool pause) {
    if (pause) runEvent_.reset();
    else runEvent_.set();
}

bool CDfrgContext::isPaused() { return !runEvent_.wait(0); }

void CDfrgContext::holdFor(uint32_t ms) {
    holdActive_ = true;
    holdDeadline_ = now() + ms;
}

bool CDfrgContext::isHolding() {
    if (!holdActive_) return false;
    // Signed difference, so that the hold survives the wrap of the tick count.
    if (static_cast<int32_t>(now() - holdDeadline_) > 0) {
        holdActive_ = false;
        return false;
    }
    return true;
}

void checkState(CDfrgContext& context) {
    const uint32_t t = now();
    const uint32_t generation = platform::clockGeneration();
    if (g_pollGeneration.exchange(generation) != generation) g_lastPoll.store(t - kPollIntervalMs);
    if (t - g_lastPoll.load() < kPollIntervalMs) return;
    g_lastPoll.store(t);

    if (!context.runEvent_.wait(0)) {
        notifyListeners([](PauseListener* l) { l->onPause(); });
        context.runEvent_.wait();
        notifyListeners([](PauseListener* l) { l->onResume(); });
    }
    if (!context.stopEvent_.wait(0)) return;
    LogScope scope("checkState");
    LogMessage(scope, LogPriority::Informal)
        .text("Throwing stop exception because stop event is set.")
        .prop("Handle", static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&context.stopEvent_)));
    throw CDfrgException(ErrorStopRequested);
}

// ---------------------------------------------------------------- snapshot

bool CDfrgContext::makeExtentSnapshot() {
    LogScope scope("DfrgContext::makeExtentSnapshot");
    const uint32_t t0 = now();
    {
        CLockGuard guard(snapshotLock_);
        snapshot_ = std::make_unique<CExtentSnapshot>(settings_.maxExtentListSize);
    }
    scanVolumeBitmap(*volume_, *snapshot_, snapshotLock_, 0, kNoCluster, false, [this] { checkState(*this); });
    snapshotBuildTime_ = now() - t0;
    LogMessage(scope, LogPriority::Informal).text("Time for make Extent").prop("Time", snapshotBuildTime_);
    return true;
}

bool CDfrgContext::refreshSnapshot(uint64_t first, uint64_t last) {
    auto check = [this] { checkState(*this); };
    if (first == 0 && last == kNoCluster) {
        CLockGuard guard(snapshotLock_);
        if (!snapshot_) snapshot_ = std::make_unique<CExtentSnapshot>(settings_.maxExtentListSize);
        scanVolumeBitmap(*volume_, *snapshot_, snapshotLock_, 0, kNoCluster, false, check);
        return true;
    }
    // Nothing to bring up to date before the first build.
    if (!snapshot_) return true;
    scanVolumeBitmap(*volume_, *snapshot_, snapshotLock_, first, last, true, check);
    return true;
}

bool CDfrgContext::updateSnapshotExt(const CFileExtentList& extents) {
    const uint32_t t0 = now();
    const size_t count = extents.size();
    for (size_t i = 0; i < count; ++i) {
        const CExtent& lcn = extents[i].lcn;
        if (lcn.valid()) refreshSnapshot(lcn.start, lcn.end);
        // A piecewise refresh that is slower than a full build while less than half done is
        // replaced by one full rebuild.
        if (now() - t0 > snapshotBuildTime_ && 100 * i / count < 50) {
            refreshSnapshot(0, kNoCluster);
            break;
        }
    }
    const uint32_t spent = now() - t0;
    if (spent > g_longestRefresh.load()) {
        g_longestRefresh.store(spent);
        LogScope scope("DfrgContext::updateSnapshotExt");
        LogMessage(scope, LogPriority::Informal).text("New longest Snapshot").prop("Time (ms)", spent);
    }
    return true;
}

bool CDfrgContext::snapshot(CExtentSnapshot*& out) {
    CLockGuard guard(snapshotLock_);
    out = snapshot_.get();
    return out != nullptr;
}

uint64_t CDfrgContext::totalFreeClusters() {
    CLockGuard guard(snapshotLock_);
    return snapshot_ ? snapshot_->totalFree() : kNoCluster;
}

uint32_t CDfrgContext::snapshotMemory() {
    CLockGuard guard(snapshotLock_);
    if (!snapshot_) return 0;
    return static_cast<uint32_t>(std::min<size_t>(snapshot_->memoryBytes(), UINT32_MAX));
}
