#include "engine/file_processing.h"

#include <vector>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "engine/file_moves.h"
#include "logging/log.h"
#include "platform/dfrg_exception.h"
#include "volume/dfrg_file.h"

namespace {

constexpr int32_t kStatusUnchanged = 6;
constexpr int32_t kDetailFile = 3;
constexpr int32_t kDetailSnapshot = 4;

// Errors that are normal on a live volume: file or path not found, access denied, invalid drive,
// sharing violation, network name deleted, network access denied, bad network name, invalid name.
bool isOrdinaryFileError(int32_t code) {
    switch (code) {
    case 2: case 3: case 5: case 15: case 32: case 64: case 65: case 67: case 123: return true;
    default: return false;
    }
}

// The benchmark form of a run needs counting support that this build does not have. Ending the
// process from the worker (with a message box nobody sees in a service) would lose the pass and
// the statistics, so the setting is reported once and the run goes on as an ordinary one.
void refuseBenchmarkMode(CPassState& state, const LogScope& scope) {
    if (!state.config || !state.config->benchmarkMode()) return;
    state.config->setBenchmarkMode(false);
    logText(scope, LogPriority::Error, "YOU HAVE TO ENABLE _EXT_STATISTICS TO USE BENCHMARK MODE !");
}

// The part of a path after its last backslash (the whole path without one).
WString lastComponent(const WString& path) {
    const size_t cut = path.find_last_of(u'\\');
    return cut == WString::npos ? path : path.substr(cut + 1);
}

}  // namespace

bool processFile(CPassState& state, CDfrgContext& context, const WString& path, bool /*flag*/, uint32_t* touchedOut,
                 bool isDirectory) {
    LogScope scope("processFile");
    CDfrgStatistics& statistics = CDfrgStatistics::instance();
    ++state.counters.processed;
    statistics.addProcessed(1);
    state.sendStatus(path, kStatusUnchanged, kDetailFile);
    if (touchedOut) *touchedOut = 0;

    try {
        CDfrgFile file(context, path, isDirectory);

        CExtentSnapshot* snapshot = nullptr;
        if (!context.snapshot(snapshot)) {
            state.sendStatus(WString(), kStatusUnchanged, kDetailSnapshot);
            if (!context.makeExtentSnapshot() || !context.snapshot(snapshot)) return false;
        }
        refuseBenchmarkMode(state, scope);

        CFileExtentList extents;
        const bool readable = file.getFileExtents(extents);
        if (!readable || extents.empty() || state.refused.count(file.path())) {
            // Empty or resident: nothing to move. Unreadable: it may be in pieces, so it is
            // counted and named. Refused earlier in this pass: a retry would be refused again.
            if (!readable) {
                ++state.counters.errors;
                LogMessage(scope, LogPriority::Warning)
                    .text("Couldn't read the extents of the file.")
                    .prop("FileName", platform::utf16ToUtf8(path));
            }
            checkState(context);
        } else {
            bool defragged = false, movedBetter = false, movedLeft = false;
            if (!defragFile(state, context, file, extents, defragged)) return false;
            if (countFragments(extents) == 1 && !defragged) {
                if (state.config && state.config->doMoveBetterPlace() &&
                    !moveToBetterPlace(state, context, file, extents, movedBetter))
                    return false;
                // In panic mode every contiguous file is tried for the left as well.
                const bool tryLeft = (state.config && state.config->doMoveLeft()) || context.panicPassCount() >= 0;
                if (!movedBetter && tryLeft && !moveToLeftBorder(state, context, file, extents, movedLeft))
                    return false;
            }
            const bool touched = defragged || movedBetter || movedLeft;
            if (touchedOut) *touchedOut = touched ? 1 : 0;
            if (touched) {
                if (defragged) statistics.addDefragged(1);
                if (movedLeft) statistics.addMoved(1);
                if (movedBetter) statistics.addMoved(1);
            } else {
                checkState(context);
            }
        }
    } catch (const CDfrgException& e) {
        if (e.code() == ErrorVolumeUnavailable || e.code() == ErrorStopRequested) throw;
        if (!isOrdinaryFileError(e.code())) {
            LogMessage(scope, LogPriority::Error)
                .text("Error during processFile.")
                .prop("Error", e.code())
                .prop("FileName", platform::utf16ToUtf8(path));
        }
    }
    statistics.save(false);
    state.currentPath = path;
    return true;
}

void walkDirectory(CPassState& state, CDfrgContext& context, const WString& dir, const WString& resumePath,
                   bool skipResumeEntry, bool noAscend) {
    checkState(context);
    std::vector<CDirEntry> entries;
    listDirectory(context.volume(), dir, entries, true);
    WString resumeName = resumePath.empty() ? WString() : lastComponent(resumePath);
    for (const CDirEntry& entry : entries) {
        if (!resumeName.empty()) {
            if (entry.name != resumeName) continue;
            resumeName.clear();
            if (skipResumeEntry) continue;
        }
        const WString path = dir + u"\\" + entry.name;
        processFile(state, context, path, true, nullptr, entry.isDirectory);
        if (entry.isDirectory) walkDirectory(state, context, path, WString(), false, true);
    }
    if (noAscend) return;
    // Go on in the parent after this directory: this is how an interrupted pass finishes the tree.
    const size_t cut = dir.find_last_of(u'\\');
    if (cut == WString::npos || cut == 0) return;
    walkDirectory(state, context, dir.substr(0, cut), dir, true, false);
}
