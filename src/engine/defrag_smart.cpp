#include "engine/defrag_smart.h"

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "engine/file_processing.h"
#include "engine/random.h"
#include "engine/volume_mode.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "platform/process_paths.h"
#include "platform/dfrg_exception.h"
#include "volume/change_tracker.h"
#include "volume/dfrg_context.h"

namespace {

constexpr uint32_t kHoldMs = 300000;
constexpr uint32_t kWaitSteps = 50;
constexpr uint32_t kWaitStepMs = 100;
constexpr double kReactAgeLimitDays = 7.0;
// A pass that improves fewer than this share of the files it processed is unproductive.
constexpr double kProductiveShare = 0.01;
constexpr int32_t kFirstPanicPass = 2;
constexpr int32_t kLastPanicPass = 2;

bool isSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// The directory above the process's current directory (the executable's), where the service
// keeps its log and state folders.
WString installBase() {
    WString dir = platform::utf8ToUtf16(platform::currentDirectory());
    if (!dir.empty() && isSeparator(dir.back())) dir.pop_back();
    size_t cut = dir.size();
    while (cut > 0 && !isSeparator(dir[cut - 1])) --cut;
    return cut > 0 ? dir.substr(0, cut - 1) : WString();
}

bool hasLogExtension(const WString& path) {
    const size_t dot = path.rfind(u'.');
    return dot != WString::npos && platform::compareNoCase(path.substr(dot), u".LOG") == 0;
}

}  // namespace

CDefragSmart::CDefragSmart(CPassState& state, const CContextList& contexts, CDfrgConfig& config,
                           const WString& serviceDirectory)
    : state_(state), contexts_(contexts), resumeFile_(resumeInfoPath(config)), serviceDirectory_(serviceDirectory) {}

void CDefragSmart::begin() {
    LogScope scope("defragSmart");
    updateStatus();
    const WString base = serviceDirectory_.empty() ? installBase() : serviceDirectory_;
    excluded_ = {base + u"\\log\\log.txt", base + u"\\state\\resumeInfo",
                 // The resume info is written beside itself first and renamed; the tracker sees
                 // the temporary name, and processing it would mark a change every time.
                 base + u"\\state\\resumeInfo.tmp"};
    checkVolumeModeVersion();
    updateStatus();
}

bool CDefragSmart::isExcluded(const WString& path) const {
    for (const WString& e : excluded_)
        if (platform::compareNoCase(path, e) == 0) return true;
    return false;
}

void CDefragSmart::updateStatus() {
    bool allReact = true;
    bool anyPaused = false;
    for (const auto& context : contexts_) {
        if (readVolumeMode(context->volume().driveLetter()) != kVolumeModeReact) allReact = false;
        if (context->isPaused()) anyPaused = true;
    }
    CDfrgStatistics& statistics = CDfrgStatistics::instance();
    const int32_t status = statistics.getStatus();
    if (allReact && state_.reactActive == 0) {
        if (status == 1 || status == 3) {
            statistics.setStatus(4);
            statistics.save(true);
        }
    } else if (status == 4) {
        statistics.setStatus(anyPaused ? 1 : 3);
        statistics.save(true);
    }
}

int32_t CDefragSmart::storeMode(CDfrgContext& volume, int32_t mode) {
    writeVolumeMode(volume.volume().driveLetter(), mode);
    updateStatus();
    return mode;
}

void CDefragSmart::pauseChecking(CDfrgContext& volume) {
    for (uint32_t i = 0; i < kWaitSteps; ++i) {
        platform::sleepMs(kWaitStepMs);
        checkState(volume);
    }
}

void CDefragSmart::saveResumeInfo() {
    // A failed write leaves the previous whole file; the next read then resumes from it.
    writeResumeInfo(resumeFile_, state_, contexts_);
}

void CDefragSmart::iteration() {
    LogScope scope("defragSmart");
    changed_ = false;
    // Only a file finished in this iteration can become a resume position.
    state_.currentPath.clear();
    readResumeInfo(resumeFile_, state_, contexts_);

    int32_t index = -1;
    const WString& resumePath = state_.resumePath;
    if (resumePath.size() >= 2 && resumePath[1] == u':') {
        for (size_t i = 0; i < contexts_.size(); ++i)
            if (contexts_[i]->volume().driveLetter() == resumePath[0]) {
                index = static_cast<int32_t>(i);
                break;
            }
    }
    if (index < 0) {
        state_.resumePath.clear();
        state_.clearResumeState();
        const uint32_t count = static_cast<uint32_t>(contexts_.size());
        uint32_t r = engineRandom() % count;
        while (static_cast<int32_t>(r) == lastVolume_ && count > 1) r = engineRandom() % count;
        index = static_cast<int32_t>(r);
    }
    lastVolume_ = index;
    CDfrgContext& volume = *contexts_[static_cast<size_t>(index)];
    const char16_t letter = volume.volume().driveLetter();
    const WString volumeName{letter, u':'};
    const std::string volumeLog = platform::utf16ToUtf8(volumeName);

    double age = 0.0;
    int32_t mode = readVolumeMode(letter, &age);
    try {
        if (mode == kVolumeModeReact && age >= kReactAgeLimitDays) {
            // A full scan at least once a week catches what the tracker missed.
            LogMessage(scope, LogPriority::Informal)
                .text("Resetting volume mode to scan mode because of react mode age.")
                .prop("Volume", volumeLog);
            mode = storeMode(volume, kVolumeModeScan);
            volume.resetPassCounters();
            changed_ = true;
        }

        if (volume.isHolding()) {
            checkState(volume);
            pauseChecking(volume);
            if (volume.isHolding()) return;
        }

        if (mode == kVolumeModeScan) {
            scanPass(volume, volumeName, mode);
            if (mode == kVolumeModeReact) reactStep(volume, volumeLog, mode);
            else reactPause_ = false;
        } else if (mode == kVolumeModeReact) {
            reactStep(volume, volumeLog, mode);
        }

        if (mode == kVolumeModeScan) volume.changeTracker().stopTracking();
        CDfrgStatistics::instance().save(true);
        if (changed_) saveResumeInfo();
    } catch (const CDfrgException& e) {
        if (e.code() == ErrorVolumeUnavailable) {
            LogMessage(scope, LogPriority::Informal).text("Could not open volume.").prop("Volume", volumeLog);
            volume.holdFor(kHoldMs);
            state_.scanActive = false;
            CDfrgStatistics::instance().save(true);
            if (changed_) saveResumeInfo();
            return;
        }
        if (e.code() == ErrorStopRequested) {
            // Without a finished file the position read at the start still holds.
            if (mode == kVolumeModeScan && !state_.currentPath.empty()) state_.resumePath = state_.currentPath;
            saveResumeInfo();
            state_.clearResumeState();
            state_.resumePath.clear();
            state_.currentPath.clear();
            state_.scanActive = false;
            throw;
        }
        resetAfterError(volume, volumeLog);
        throw;
    } catch (...) {
        resetAfterError(volume, volumeLog);
        throw;
    }
    state_.scanActive = false;
}

void CDefragSmart::resetAfterError(CDfrgContext& volume, const std::string& volumeLog) {
    LogScope scope("defragSmart");
    try {
        volume.changeTracker().stopTracking();
    } catch (const CDfrgException&) {
        // The state file could not be written; the error being handled matters more.
    }
    LogMessage(scope, LogPriority::Informal)
        .text("Resetting volume mode to scan mode because an exception was encountered.")
        .prop("Volume", volumeLog);
    storeMode(volume, kVolumeModeScan);
    volume.resetPassCounters();
    state_.scanActive = false;
    state_.clearResumeState();
    state_.resumePath.clear();
    state_.currentPath.clear();
    saveResumeInfo();
}

void CDefragSmart::scanPass(CDfrgContext& volume, const WString& volumeName, int32_t& mode) {
    CVolumeChangeTracker& tracker = volume.changeTracker();
    changed_ = true;
    WString startDir;
    if (!state_.resumePath.empty()) {
        const size_t cut = state_.resumePath.rfind(u'\\');
        // Resuming is only possible while the tracker has seen every change since the pass began.
        if (cut != WString::npos && cut >= 2 && tracker.resumeTracking()) startDir = state_.resumePath.substr(0, cut);
        else state_.resumePath.clear();
    }
    checkState(volume);
    if (state_.resumePath.empty()) {
        CDfrgStatistics::instance().resetCurrent();
        state_.clearResumeState();
        volume.setPassCount(volume.passCount() + 1);
        startDir = volumeName;
        tracker.startTracking();
    }

    // A pass starts from the volume's real free space: what other programs freed or took since
    // the last pass is in it, so that no refusal is needed to learn it.
    CExtentSnapshot* snapshot = nullptr;
    if (volume.snapshot(snapshot)) volume.makeExtentSnapshot();
    state_.beginPass();
    const uint64_t clustersBefore = volume.clustersMoved();

    state_.scanActive = true;
    const WString resumeAt = state_.resumePath;
    walkDirectory(state_, volume, startDir, resumeAt, false, false);
    state_.scanActive = false;
    state_.currentPath.clear();

    // Files that found no free run during the walk get one more try; their first attempt is
    // already counted.
    for (size_t i = 0; i < state_.retryFiles.size(); ++i) {
        const WString path = state_.retryFiles[i];
        processFile(state_, volume, path, true, nullptr, false);
        CPassCounters& c = state_.counters;
        if (c.processed > 0) --c.processed;
        if (c.nonDefraggable > 0) --c.nonDefraggable;
    }

    const std::string volumeLog = platform::utf16ToUtf8(volumeName);
    {
        LogScope scope("defragSmart");
        const CPassCounters& c = state_.counters;
        LogMessage(scope, LogPriority::Informal)
            .text("Finished Scan pass")
            .prop("Volume", volumeLog)
            .prop("Pass", volume.passCount())
            .prop("PanicPass", volume.panicPassCount())
            .prop("Processed", c.processed)
            .prop("Defragged", c.defragged)
            .prop("Moved", c.moved)
            .prop("Errors", c.errors)
            .prop("Non-Defraggable", c.nonDefraggable)
            .prop("Non-Defraggable because of pure space reasons", c.nonDefraggablePureSpace)
            .prop("Clusters moved", volume.clustersMoved() - clustersBefore);
    }
    decide(volume, volumeLog, mode);
    state_.resumePath.clear();
}

void CDefragSmart::decide(CDfrgContext& volume, const std::string& volumeLog, int32_t& mode) {
    LogScope scope("defragSmart");
    const CPassCounters& c = state_.counters;
    if (c.nonDefraggable <= c.nonDefraggablePureSpace) {
        // Whatever is left fragmented failed only for lack of space.
        mode = storeMode(volume, kVolumeModeReact);
        volume.resetPassCounters();
        LogMessage(scope, LogPriority::Informal).text("Volume is clean. Switching to react mode").prop("Volume", volumeLog);
        return;
    }
    const double improved = static_cast<double>(c.defragged + c.moved);
    if (improved < kProductiveShare * static_cast<double>(c.processed) && volume.passCount() >= kFirstPanicPass) {
        volume.setPanicPassCount(volume.panicPassCount() + 1);
        if (volume.panicPassCount() > kLastPanicPass) {
            LogMessage(scope, LogPriority::Informal)
                .text("Unable to defragment all files in panic mode. Giving up for now...")
                .prop("Volume", volumeLog);
            mode = storeMode(volume, kVolumeModeReact);
            volume.resetPassCounters();
        } else {
            LogMessage(scope, LogPriority::Informal)
                .text("Unable to defragment all files in standard mode. Activating panic mode.")
                .prop("Volume", volumeLog);
        }
    }
}

void CDefragSmart::reactStep(CDfrgContext& volume, const std::string& volumeLog, int32_t& mode) {
    LogScope scope("defragSmart");
    CVolumeChangeTracker& tracker = volume.changeTracker();
    if (!tracker.resumeTracking()) {
        LogMessage(scope, LogPriority::Informal)
            .text("Resetting volume mode to scan mode because resumeTracking failed.")
            .prop("Volume", volumeLog)
            .prop("StateFile", platform::utf16ToUtf8(tracker.stateFilePath()));
        mode = storeMode(volume, kVolumeModeScan);
        volume.resetPassCounters();
        changed_ = true;
        reactPause_ = true;
        return;
    }
    checkState(volume);
    if (reactPause_) pauseChecking(volume);

    int32_t result = 2;
    tracker.lockChanges();
    try {
        result = tracker.pollChanges();
        while (result == 0) {
            CChangedFile file;
            result = tracker.nextChangedFile(file);
            if (result != 0) break;
            if (!isExcluded(file.path)) {
                changed_ = true;
                if (!hasLogExtension(file.path)) {
                    if (state_.reactActive == 0) {
                        state_.reactActive = 1;
                        updateStatus();
                    }
                    processFile(state_, volume, file.path, true, nullptr, false);
                }
            }
            result = tracker.pollChanges();
        }
    } catch (...) {
        if (state_.reactActive == 1) {
            state_.reactActive = 0;
            updateStatus();
        }
        tracker.unlockChanges();
        throw;
    }
    if (state_.reactActive == 1) {
        state_.reactActive = 0;
        updateStatus();
    }
    tracker.unlockChanges();

    if (result == 2) {
        LogMessage(scope, LogPriority::Alert)
            .text("Change tracking invalidated. Switching to scan mode.")
            .prop("Volume", volumeLog);
        mode = storeMode(volume, kVolumeModeScan);
        volume.resetPassCounters();
        changed_ = true;
    }
    reactPause_ = true;
}

void defragSmart(CPassState& state, const CContextList& contexts, CDfrgConfig& config) {
    CDefragSmart smart(state, contexts, config);
    smart.begin();
    for (;;) smart.iteration();
}
