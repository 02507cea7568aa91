// The engine: owns the settings and the marker window, and starts and stops the one worker
// thread that does all the defragmentation. start, stop and setPaused are serialised by the
// engine's lock and may be called from any thread.
#pragma once
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/text.h"

class CDfrgConfig;
class CNotifyWindow;
class DfrgThread;

// Progress as the engine reports it to the controller.
struct DfrgStatus {
    WString lastFile;    // empty: no file to report
    int32_t status = 0;  // 6 = unchanged
    int32_t detail = 0;
};

using DfrgStatusCallback = void (*)(DfrgStatus status);

class engine {
public:
    // `threadEnded` is signalled whenever a worker has finished; not owned. Loads the settings
    // (throws CDfrgException when they cannot be loaded) and creates the marker window.
    explicit engine(platform::Event* threadEnded);
    virtual ~engine();
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    void setStatusCallback(DfrgStatusCallback callback);
    // Ends a running worker, starts a new one and returns once it is ready.
    void start(bool startPaused);
    // Ends and deletes the worker; returns once it has ended. Nothing when none runs.
    void stop();
    void setPaused(bool paused);

    CDfrgConfig& config() { return *config_; }

private:
    CCriticalSection lock_;
    std::unique_ptr<CNotifyWindow> notifyWindow_;
    std::unique_ptr<CDfrgConfig> config_;
    DfrgStatusCallback statusCallback_ = nullptr;
    std::unique_ptr<DfrgThread> thread_;
    std::thread osThread_;
    platform::Event* threadEnded_;
};
