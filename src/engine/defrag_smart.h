// The volume mode state machine, the main loop of the worker. Each iteration picks a volume (the
// one of an interrupted scan pass, else at random but never the previous one) and, by its stored
// mode, walks the whole volume in a scan pass or, in react mode, processes the files that its
// change tracker saw change. A pass that leaves nothing fragmented but for lack of space puts
// the volume into react mode; passes that improve almost nothing lead to panic passes and, after
// three of them, to react mode all the same. Modes, positions and counters persist across stops.
//
// Worker thread only. Pause and stop arrive through the contexts' checkState.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/pass_state.h"
#include "engine/resume_info.h"
#include "platform/text.h"

class CDfrgConfig;

class CDefragSmart {
public:
    // contexts: at least one; all outlive this object. serviceDirectory: where the service's
    // "log" and "state" folders are; empty for the parent of the current directory.
    CDefragSmart(CPassState& state, const CContextList& contexts, CDfrgConfig& config,
                 const WString& serviceDirectory = WString());

    // Before the first iteration: the status, the files never to process, the version check of
    // the stored modes.
    void begin();
    // One iteration. Returns normally, also after "Could not open volume." (the volume is then
    // held for five minutes). A stop request leaves as CDfrgException(ErrorStopRequested) after
    // saving the position; any other error resets the volume to scan mode and is passed on.
    void iteration();

    // The status shown to the user: 4 while every volume is in react mode and no changed file is
    // being processed; back to 1 (paused) or 3 (running) otherwise.
    void updateStatus();

    // Index of the volume of the last iteration, -1 before the first.
    int32_t lastVolume() const { return lastVolume_; }
    bool reactPause() const { return reactPause_; }
    // Full paths never processed in react mode (compared without regard to case).
    const std::vector<WString>& excludedFiles() const { return excluded_; }

private:
    // The scan pass; mode becomes 1 when the volume goes to react mode.
    void scanPass(CDfrgContext& volume, const WString& volumeName, int32_t& mode);
    void decide(CDfrgContext& volume, const std::string& volumeLog, int32_t& mode);
    // One react step; mode becomes 0 when tracking cannot go on.
    void reactStep(CDfrgContext& volume, const std::string& volumeLog, int32_t& mode);
    // Stores the mode, runs the status rule and returns the mode.
    int32_t storeMode(CDfrgContext& volume, int32_t mode);
    // 50 sleeps of 100 ms, each followed by checkState.
    void pauseChecking(CDfrgContext& volume);
    void resetAfterError(CDfrgContext& volume, const std::string& volumeLog);
    void saveResumeInfo();
    bool isExcluded(const WString& path) const;

    CPassState& state_;
    const CContextList& contexts_;
    WString resumeFile_;
    WString serviceDirectory_;
    std::vector<WString> excluded_;
    int32_t lastVolume_ = -1;
    bool reactPause_ = false;
    bool changed_ = false;
};

// begin(), then iterations until an exception ends the loop.
void defragSmart(CPassState& state, const CContextList& contexts, CDfrgConfig& config);

