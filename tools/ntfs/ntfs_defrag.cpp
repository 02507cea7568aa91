#include "ntfs_defrag.h"

#include <filesystem>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "config/product_key.h"
#include "config/registry_store.h"
#include "engine/file_processing.h"
#include "platform/dfrg_exception.h"

namespace ntfstool {

namespace {

// The status callback is a plain function; the one run of this process reports through here.
const std::function<void(const PassProgress&)>* g_progress = nullptr;
PassProgress* g_current = nullptr;
const CPassState* g_state = nullptr;

void onStatus(DfrgStatus status) {
    if (!g_progress || !*g_progress || !g_current || !g_state) return;
    if (!status.lastFile.empty()) g_current->lastFile = status.lastFile;
    g_current->counters = g_state->counters;
    (*g_progress)(*g_current);
}

void addCounters(CPassCounters& to, const CPassCounters& from) {
    to.defragged += from.defragged;
    to.nonDefraggable += from.nonDefraggable;
    to.nonDefraggablePureSpace += from.nonDefraggablePureSpace;
    to.errors += from.errors;
    to.moved += from.moved;
    to.processed += from.processed;
}

}  // namespace

EngineSettings::EngineSettings(const std::string& scratch) : scratch_(scratch) {
    std::filesystem::create_directories(scratch);
    setRegistryStorePath(scratch + "/registry.sqlite3");
    setProductKeyPath("SOFTWARE\\velkaris-ntfs\\Velkaris Lumeric Defrag");
    statistics_ = std::make_unique<CDfrgStatistics>();
    config_ = std::make_unique<CDfrgConfig>();
}

EngineSettings::~EngineSettings() = default;

CDfrgVolumeSettings EngineSettings::volumeSettings() const {
    CDfrgVolumeSettings s;
    s.maxClusterMoveCount = config_->maxClusterMoveCount();
    s.maxExtentListSize = config_->maxExtentListSize();
    s.stateDirectory = platform::utf8ToUtf16(scratch_ + "/");
    return s;
}

DefragOutcome defragUntilClean(CDfrgContext& context, CDfrgConfig& config, int maxPasses,
                               const std::function<void(const PassProgress&)>& progress) {
    DefragOutcome outcome;
    const WString root = WString(1, context.volume().driveLetter()) + u":";
    for (int pass = 1; pass <= maxPasses; ++pass) {
        CPassState state;
        state.config = &config;
        state.scanActive = true;
        state.statusCallback = onStatus;
        PassProgress current;
        current.pass = pass;
        g_progress = &progress;
        g_current = &current;
        g_state = &state;
        outcome.passes = pass;
        try {
            context.makeExtentSnapshot();
            walkDirectory(state, context, root, WString(), false, false);
            // The files no free run could hold when they were met get one more chance.
            state.scanActive = false;
            const std::vector<WString> retry = state.retryFiles;
            for (const WString& path : retry) processFile(state, context, path, true, nullptr, false);
        } catch (const CDfrgException& e) {
            addCounters(outcome.total, state.counters);
            g_progress = nullptr;
            if (e.code() == ErrorStopRequested) {
                outcome.stopped = true;
                return outcome;
            }
            throw;
        }
        g_progress = nullptr;
        addCounters(outcome.total, state.counters);
        outcome.lastPass = state.counters;
        if (progress) {
            current.counters = state.counters;
            current.passDone = true;
            progress(current);
        }
        // Clean: nothing left that a pass can make contiguous. The moves that only pack files
        // closer together are not waited for; they need not ever come to rest.
        if (state.counters.defragged == 0) {
            outcome.clean = true;
            break;
        }
    }
    return outcome;
}

}  // namespace ntfstool
