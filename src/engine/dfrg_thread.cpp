#include "engine/dfrg_thread.h"

#include "logging/log.h"
#include "service/dfrg_exception.h"

DfrgThread::DfrgThread() = default;

DfrgThread::~DfrgThread() { end(true); }

void DfrgThread::sendStatus(const WString& lastFile, int32_t status, int32_t detail) {
    if (statusCallback_) statusCallback_(DfrgStatus{lastFile, status, detail});
}

void DfrgThread::run(const ThreadStartInfo& info) {
    LogScope scope("main");
    logText(scope, LogPriority::Informal, "Thread Start");
    statusCallback_ = info.statusCallback;
    config_ = info.config;
    ready_.set();
    try {
        // The volume work comes with the volume contexts; until then the worker idles until
        // it is stopped.
        stopRequested_.wait();
        throw CDfrgException(ErrorStopRequested, "Stop was requested");
    } catch (const CDfrgException& e) {
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
        stopRequested_.set();
    }
    if (wait) {
        logText(scope, LogPriority::Informal, "Waiting for stopped event.");
        stopped_.wait();
    }
    logText(scope, LogPriority::Informal, "Exiting function.");
}

void DfrgThread::setPaused(bool) { CLockGuard lock(lock_); }

void runthread(ThreadStartInfo info) {
    LogScope scope("runthread");
    setLogThreadName("WorkThread");
    try {
        info.thread->run(info);
    } catch (...) {
        LogScope top("runthread");
        logText(top, LogPriority::Error, "Unknown Exception occured");
    }
    logText(scope, LogPriority::Informal, "thread::run has returned");
    info.thread->stoppedEvent().set();
    if (info.threadEnded) info.threadEnded->set();
    logText(scope, LogPriority::Informal, "runthread exiting");
}
