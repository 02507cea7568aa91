// The worker: builds a context for every enabled volume and runs the volume mode state machine
// until a stop or an error ends it. All defragmentation runs on its thread.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "platform/event.h"
#include "platform/lock.h"

struct ThreadStartInfo {
    DfrgThread* thread = nullptr;
    CDfrgConfig* config = nullptr;
    DfrgStatusCallback statusCallback = nullptr;
    platform::Event* threadEnded = nullptr;
    bool startPaused = false;
};

class DfrgThread {
public:
    DfrgThread();
    virtual ~DfrgThread();
    DfrgThread(const DfrgThread&) = delete;
    DfrgThread& operator=(const DfrgThread&) = delete;

    // The body of the worker thread.
    void run(const ThreadStartInfo& info);
    // Asks every context to stop (and wakes a paused worker); with `wait`, returns once run
    // has returned.
    void end(bool wait);
    void setPaused(bool paused);

    platform::Event& readyEvent() { return ready_; }
    platform::Event& stoppedEvent() { return stopped_; }
    void sendStatus(const WString& lastFile, int32_t status, int32_t detail);

private:
    CCriticalSection lock_;
    platform::Event stopped_{platform::Event::Reset::Manual};
    platform::Event ready_{platform::Event::Reset::Manual};
    // Until the volume contexts carry the stop, the worker waits on this.
    platform::Event stopRequested_{platform::Event::Reset::Manual};
    DfrgStatusCallback statusCallback_ = nullptr;
    CDfrgConfig* config_ = nullptr;
};

// The thread procedure: runs the worker and signals its stopped event and the engine's
// thread-ended event.
void runthread(ThreadStartInfo info);
