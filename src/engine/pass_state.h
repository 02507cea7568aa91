// The worker's state of the current pass, shared by the state machine, file processing and the
// move strategies, and stored in the resume info. Worker thread only.
#pragma once
#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "engine/engine.h"
#include "platform/text.h"

class CDfrgConfig;

struct CPassCounters {
    uint64_t defragged = 0;
    uint64_t nonDefraggable = 0;
    uint64_t nonDefraggablePureSpace = 0;  // ... because even the largest free run is too small
    uint64_t errors = 0;
    uint64_t moved = 0;
    uint64_t processed = 0;
};

struct CPassState {
    static constexpr size_t kMaxRetryFiles = 1000;

    CPassCounters counters;
    std::vector<WString> retryFiles;  // in the order added
    bool retryOverflow = false;
    WString currentPath;  // the last file finished (after a stop: where to resume)
    WString resumePath;   // where an interrupted scan pass resumes; empty for none
    bool scanActive = false;
    int32_t reactActive = 0;
    DfrgStatusCallback statusCallback = nullptr;
    CDfrgConfig* config = nullptr;

    // Not stored: what the current pass has learnt. The smallest fragmented file (in clusters)
    // that found no free run although the volume has room for it, in this pass and in the one
    // before (a file met late in a pass still guides the files met early in the next); 0 for
    // none. Files whose move the file system refused: not tried again in this pass.
    uint64_t neededRun = 0;
    uint64_t neededRunBefore = 0;
    std::set<WString> refused;

    void beginPass() {
        neededRunBefore = neededRun;
        neededRun = 0;
        refused.clear();
    }
    void noteNeededRun(uint64_t clusters) { neededRun = neededRun ? std::min(neededRun, clusters) : clusters; }
    // The smallest run a waiting fragmented file needs; 0 when none waits.
    uint64_t waitingNeed() const {
        if (!neededRun || !neededRunBefore) return neededRun | neededRunBefore;
        return std::min(neededRun, neededRunBefore);
    }

    void sendStatus(const WString& lastFile, int32_t status, int32_t detail) const {
        if (statusCallback) statusCallback(DfrgStatus{lastFile, status, detail});
    }
    // The six counters to 0, the retry files emptied, the overflow flag cleared; resumePath and
    // the contexts' pass counters are left alone.
    void clearResumeState() {
        counters = CPassCounters();
        retryFiles.clear();
        retryOverflow = false;
    }
};
