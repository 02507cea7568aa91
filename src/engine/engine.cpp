#include "engine/engine.h"

#include "config/dfrg_config.h"
#include "engine/dfrg_thread.h"
#include "engine/random.h"
#include "logging/log.h"
#include "platform/clock.h"
#include "monitor/notify_window.h"

engine::engine(platform::Event* threadEnded) : threadEnded_(threadEnded) {
    notifyWindow_.reset(new CNotifyWindow);
    seedEngineRandom(platform::tickCount());
    config_.reset(new CDfrgConfig);
}

engine::~engine() {
    LogScope scope("Engine destructor");
    logText(scope, LogPriority::Informal, "Calling stop.");
    stop();
    logText(scope, LogPriority::Informal, "Deleting config.");
    config_.reset();
    logText(scope, LogPriority::Informal, "Engine destructor finished.");
    notifyWindow_.reset();
}

void engine::setStatusCallback(DfrgStatusCallback callback) {
    CLockGuard lock(lock_);
    statusCallback_ = callback;
}

void engine::start(bool startPaused) {
    CLockGuard lock(lock_);
    LogScope scope("engine::start");
    stop();
    ThreadStartInfo info;
    thread_.reset(new DfrgThread);
    info.thread = thread_.get();
    info.config = config_.get();
    info.statusCallback = statusCallback_;
    info.threadEnded = threadEnded_;
    info.startPaused = startPaused;
    logText(scope, LogPriority::Informal, "Starting thread");
    osThread_ = std::thread(runthread, info);
    logText(scope, LogPriority::Informal, "Waiting for thread init");
    thread_->readyEvent().wait();
    logText(scope, LogPriority::Informal, "Thread init done");
}

void engine::stop() {
    CLockGuard lock(lock_);
    if (!thread_) return;
    LogScope scope("engine::stop");
    logText(scope, LogPriority::Informal, "Calling thread::end.");
    thread_->end(true);
    logText(scope, LogPriority::Informal, "thread::end returned. Deleting thread object.");
    if (osThread_.joinable()) osThread_.join();
    thread_.reset();
    logText(scope, LogPriority::Informal, "Thread object deleted.");
}

void engine::setPaused(bool paused) {
    CLockGuard lock(lock_);
    if (thread_) thread_->setPaused(paused);
}
