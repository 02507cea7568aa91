// The worker's state of the current pass, shared by the state machine, file processing and the
// move strategies, and stored in the resume info. Worker thread only.
#pragma once
#include <cstdint>
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
