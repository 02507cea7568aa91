#include "engine/dfrg_thread.h"

#include <cstdlib>

#include "config/dfrg_config.h"
#include "engine/defrag_smart.h"
#include "engine/random.h"
#include "engine/volume_dump.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "platform/dfrg_exception.h"
#include "platform/last_error.h"
#include "volume/dfrg_context.h"
#include "volume/volume_provider.h"

DfrgThread::DfrgThread() = default;

DfrgThread::~DfrgThread() {
    end(true);
    CLockGuard lock(lock_);
    contexts_.clear();
}

void DfrgThread::sendStatus(const WString& lastFile, int32_t status, int32_t detail) { state_.sendStatus(lastFile, status, detail); }

std::unique_ptr<CDfrgContext> DfrgThread::makeContext(char letter, const CDfrgVolumeSettings& settings,
                                                       const LogScope& scope, bool forWork) {
    try {
        std::unique_ptr<CDfrgVolume> volume = config_->volumeProvider()->openVolume(letter);
        // A dump shows every volume; only the work leaves a solid-state drive alone.
        if (forWork && leaveVolumeAlone(*config_, *volume, letter)) return nullptr;
        return std::make_unique<CDfrgContext>(std::move(volume), static_cast<int32_t>(contexts_.size()), settings);
    } catch (const CDfrgException& e) {
        LogMessage(scope, LogPriority::Alert)
            .text("Exception while creating Disk/Context")
            .prop("ErrorCode", e.code())
            .prop("ErrorMessage", e.message());
        return nullptr;
    }
}

void DfrgThread::writeDumps(CDfrgConfig& config, const CDfrgVolumeSettings& settings, bool startPaused,
                            const LogScope& scope) {
    const WString finalPath = config.dumpPath();
    const WString tempPath = finalPath + u".tmp";
    std::FILE* dump = openDumpFile(tempPath);
    if (!dump) {
        LogMessage(scope, LogPriority::Error)
            .text("Couldn't open the volume dump file.")
            .prop("FileName", platform::utf16ToUtf8(tempPath));
        std::_Exit(-1);
    }
    // A dump of a large volume takes long; the engine's start returns now, so that its stop can
    // come in while the dump is being written.
    ready_.set();
    auto forget = [this] {
        CLockGuard lock(lock_);
        contexts_.clear();
    };
    try {
        for (int i = 0;; ++i) {
            const char letter = config.getEnabledVolume(i);
            if (letter == 0) break;
            std::unique_ptr<CDfrgContext> made = makeContext(letter, settings, scope, false);
            if (!made) continue;
            CDfrgContext& context = *made;
            {
                // Listed while it is dumped, so that end() and setPaused reach it.
                CLockGuard lock(lock_);
                if (stopRequested_) context.stopAll();
                else if (startPaused) context.setPaused(true);
                contexts_.push_back(std::move(made));
            }
            const int64_t sectionStart = dumpFilePosition(dump);
            try {
                writeVolumeDump(context, config, dump);
            } catch (const CDfrgException& e) {
                if (e.code() == ErrorStopRequested) throw;
                // A volume that cannot be dumped does not keep the others from it; its part
                // section is cut off, so that the file stays readable.
                if (sectionStart < 0 || !cutDumpFile(dump, sectionStart)) throw;
            }
            forget();
        }
    } catch (...) {
        forget();
        std::fclose(dump);
        removeDumpFile(tempPath);
        throw;
    }
    if (std::fclose(dump) != 0 || !replaceDumpFile(tempPath, finalPath)) {
        removeDumpFile(tempPath);
        LogMessage(scope, LogPriority::Error)
            .text("Couldn't write the volume dump file.")
            .prop("FileName", platform::utf16ToUtf8(finalPath));
    }
}

void DfrgThread::setUpVolumes(const ThreadStartInfo& info, const LogScope& scope) {
    CDfrgConfig& config = *info.config;
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = config.maxClusterMoveCount();
    settings.maxExtentListSize = config.maxExtentListSize();
    settings.stateDirectory = config.stateDirectory();
    state_.statusCallback = info.statusCallback;
    state_.config = info.config;
    config_ = info.config;

    if (config.makeDump()) {
        writeDumps(config, settings, info.startPaused, scope);
    } else {
        for (int i = 0;; ++i) {
            const char letter = config.getEnabledVolume(i);
            if (letter == 0) break;
            std::unique_ptr<CDfrgContext> context = makeContext(letter, settings, scope, true);
            if (!context) continue;
            CLockGuard lock(lock_);
            if (stopRequested_) context->stopAll();
            contexts_.push_back(std::move(context));
        }
    }
    if (info.startPaused) setPaused(true);
    ready_.set();
}

void DfrgThread::run(const ThreadStartInfo& info) {
    installWorkerCrashReport();
    seedEngineRandom(platform::tickCount());
    LogScope scope("main");
    logText(scope, LogPriority::Informal, "Thread Start");
    try {
        setUpVolumes(info, scope);
        if (contexts_.empty()) {
            logText(scope, LogPriority::Error, "You didn't enabled a Volume to defrag, Service ends");
            sendStatus(WString(), 5, 5);
            throw CDfrgException(ErrorStopRequested, "Stopping because lack of work");
        }
        defragSmart(state_, contexts_, *config_);
    } catch (const CDfrgException& e) {
        {
            CLockGuard lock(lock_);
            contexts_.clear();
        }
        if (e.code() == ErrorStopRequested) {
            LogMessage(scope, LogPriority::Informal)
                .text("Defrag thread terminating because of stop request.")
                .prop("ErrorMessage", e.message());
        } else {
            LogMessage(scope, LogPriority::Alert)
                .text("Top-Level exception in defrag thread.")
                .prop("ErrorCode", e.code())
                .prop("ErrorMessage", e.message());
        }
        sendStatus(WString(), 0, 5);
    }
    logText(scope, LogPriority::Informal, "Defrag thread::run exiting.");
}

void DfrgThread::end(bool wait) {
    LogScope scope("DfrgThread::end");
    logText(scope, LogPriority::Informal, "Stopping all contexts");
    {
        CLockGuard lock(lock_);
        stopRequested_ = true;
        // Stop first, then release a pause, so that a paused worker wakes up to the stop.
        for (const auto& context : contexts_) {
            context->stopAll();
            context->setPaused(false);
        }
    }
    if (wait) {
        logText(scope, LogPriority::Informal, "Waiting for stopped event.");
        stopped_.wait();
    }
    logText(scope, LogPriority::Informal, "Exiting function.");
}

void DfrgThread::setPaused(bool paused) {
    CLockGuard lock(lock_);
    // A stopped worker must get to see its stop.
    if (paused && stopRequested_) return;
    for (const auto& context : contexts_) context->setPaused(paused);
}

void runthread(ThreadStartInfo info) {
    LogScope scope("runthread");
    setLogThreadName("WorkThread");
    if (!enterBackgroundMode()) LogMessage(scope, LogPriority::Warning).text("Couldn't enter background mode").prop("ErrorCode", platform::lastError());
    try {
        info.thread->run(info);
    } catch (...) {
        LogScope top("runthread");
        logText(top, LogPriority::Error, "Unknown Exception occured");
    }
    logText(scope, LogPriority::Informal, "thread::run has returned");
    // A worker that failed before it was ready must not leave engine::start waiting.
    info.thread->readyEvent().set();
    info.thread->stoppedEvent().set();
    if (info.threadEnded) info.threadEnded->set();
    logText(scope, LogPriority::Informal, "runthread exiting");
}
