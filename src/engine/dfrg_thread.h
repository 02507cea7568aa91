// The worker: builds a context for every enabled volume and runs the volume mode state machine
// until a stop or an error ends it. All defragmentation runs on its thread.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "engine/pass_state.h"
#include "engine/resume_info.h"
#include "platform/event.h"
#include "platform/lock.h"
#include "volume/dfrg_context.h"

class LogScope;

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
    // Ends the worker (waiting for it) and deletes what is left of the contexts.
    virtual ~DfrgThread();
    DfrgThread(const DfrgThread&) = delete;
    DfrgThread& operator=(const DfrgThread&) = delete;

    // The body of the worker thread: sets up one context per enabled volume (in dump mode writes
    // each volume's dump instead), signals the ready event, and runs the state machine until a
    // CDfrgException ends it; then deletes the contexts and reports status 0.
    void run(const ThreadStartInfo& info);
    // Any thread: asks every context to stop and wakes a paused worker; with `wait`, returns
    // once run has returned.
    void end(bool wait);
    // Any thread: pauses or resumes every context.
    void setPaused(bool paused);

    platform::Event& readyEvent() { return ready_; }
    platform::Event& stoppedEvent() { return stopped_; }
    void sendStatus(const WString& lastFile, int32_t status, int32_t detail);

private:
    void setUpVolumes(const ThreadStartInfo& info, const LogScope& scope);
    // Dump mode: writes every enabled volume's dump, which a stop or a pause reaches like any
    // other work. The dump is written under a temporary name and renamed once whole, so that a
    // stop leaves the whole dump or none. A stop request passes on as CDfrgException.
    void writeDumps(CDfrgConfig& config, const CDfrgVolumeSettings& settings, bool startPaused, const LogScope& scope);
    // The volume and context of enabled volume `letter`; null (logged) when it cannot be made.
    // forWork: a solid-state volume that the settings leave alone gives no context.
    std::unique_ptr<CDfrgContext> makeContext(char letter, const CDfrgVolumeSettings& settings, const LogScope& scope,
                                              bool forWork);

    CContextList contexts_;
    CDfrgConfig* config_ = nullptr;
    platform::Event stopped_{platform::Event::Reset::Manual};
    platform::Event ready_{platform::Event::Reset::Manual};
    CPassState state_;
    // Guards contexts_ against end, setPaused and the destructor on other threads.
    CCriticalSection lock_;
    // A stop asked for before the contexts existed reaches them as they are made.
    bool stopRequested_ = false;
};

// The thread procedure: runs the worker and signals its stopped event and the engine's
// thread-ended event.
void runthread(ThreadStartInfo info);

// The dump file, opened for binary writing and shared with readers; null when it cannot be.
std::FILE* openDumpFile(const WString& path);
// Where the next write goes; -1 when unknown.
int64_t dumpFilePosition(std::FILE* file);
// Cuts the file back to `size` bytes and writes on from there.
bool cutDumpFile(std::FILE* file, int64_t size);
// Renames a finished dump over the final name (replacing an older dump); false when it cannot.
bool replaceDumpFile(const WString& from, const WString& to);
void removeDumpFile(const WString& path);
// Makes sure a crash of the worker is reported (first thing on the worker thread).
void installWorkerCrashReport();
// Puts the calling thread in the background: lowest CPU, I/O (and on Windows memory) priority,
// so that the user's own reads and writes are not queued behind a move in the moment before a
// pause takes effect. False, with the last error set, when the system refuses.
bool enterBackgroundMode();
