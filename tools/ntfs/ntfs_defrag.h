// Drives the engine on one volume outside the service: settings in a scratch directory of their
// own, then the engine's scan passes (each followed by the files it put aside for a retry) until
// a pass defragments no file. A stop request through the context ends the run between two moves.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/pass_state.h"
#include "volume/dfrg_context.h"

class CDfrgConfig;
class CDfrgStatistics;

namespace ntfstool {

// The settings and statistics the engine reads, kept under `scratch` (created if needed) so that
// nothing of the machine's service is touched.
class EngineSettings {
public:
    explicit EngineSettings(const std::string& scratch);
    ~EngineSettings();
    CDfrgConfig& config() { return *config_; }
    CDfrgVolumeSettings volumeSettings() const;

private:
    std::string scratch_;
    std::unique_ptr<CDfrgStatistics> statistics_;
    std::unique_ptr<CDfrgConfig> config_;
};

struct PassProgress {
    int pass = 0;           // 1-based
    CPassCounters counters;  // of this pass so far
    WString lastFile;
    bool passDone = false;  // the last call of a pass, with its final counters
};

struct DefragOutcome {
    int passes = 0;
    bool clean = false;    // the last pass defragmented no file
    bool stopped = false;  // a stop request ended the run
    CPassCounters total;
    CPassCounters lastPass;
};

// Runs passes over the whole volume until one defragments no file, at most maxPasses.
// progress is called from the worker (this thread) now and then with the current pass.
DefragOutcome defragUntilClean(CDfrgContext& context, CDfrgConfig& config, int maxPasses,
                               const std::function<void(const PassProgress&)>& progress);

}  // namespace ntfstool
