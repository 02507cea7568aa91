// Helpers for tests of the worker and its state machine: drives made of memory volumes, the
// status records the engine sends, clocks and waits the test drives by hand, volumes laid out to
// end a scan in a known way, and a reader of the resume info as it lies on disk.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/pass_state.h"
#include "sim/memory_volume.h"
#include "support/fake_volume_provider.h"
#include "volume/volume_provider.h"

namespace smarttest {

// The tests of the worker use the common provider.
using MemoryVolumeProvider = FakeVolumeProvider;

// What the engine reported through its status callback. The callback is a plain function, so
// the record is process-wide; reset() it in each test.
class StatusRecorder {
public:
    static void callback(DfrgStatus status);
    static void reset();
    static std::vector<DfrgStatus> records();
    // Paths of the files whose processing began (status 6, detail 3), in order.
    static std::vector<WString> startedFiles();
    static size_t startedCount();
    // Runs on the worker for every file whose processing begins; may throw to stand for a
    // failure at that point.
    static void setHook(std::function<void(const WString&)> hook);
};

// The clocks of the contexts (checkState, holds) and of the change trackers, and the state
// machine's sleeps, under the test's control while an object lives.
class FakeClocks {
public:
    // autoAdvance: every reading of the context clock moves it on by a second, so that every
    // checkState looks at the events.
    explicit FakeClocks(bool autoAdvance = false);
    ~FakeClocks();
    FakeClocks(const FakeClocks&) = delete;
    FakeClocks& operator=(const FakeClocks&) = delete;

    static void advanceContext(uint32_t ms);
    static void advanceTracker(uint32_t ms);
    // Sleeps asked for by the state machine (none is really slept).
    static uint32_t sleeps();
    static uint64_t sleptMs();
};

// A volume whose first scan pass ends clean: small files, a few fragmented ones and plenty of
// free space.
std::shared_ptr<CMemoryVolume> makeCleanVolume(char16_t letter);
// A volume whose one fragmented file never finds a free run large enough although the free
// space exceeds it by far, and whose other files sit packed with no free space beside them:
// no pass can improve anything.
std::shared_ptr<CMemoryVolume> makeHopelessVolume(char16_t letter);
// A tree of `directories` folders (one nested in the first) of `files` small files each, every
// fifth of them fragmented, with room to defragment them. At most 15 of each, so that no folder
// needs index clusters of its own.
std::shared_ptr<CMemoryVolume> makeTreeVolume(char16_t letter, int directories, int files);

// The resume info file as it lies on disk, read independently of the engine's reader.
struct StoredResumeInfo {
    bool whole = false;  // every field present and nothing after the last
    int32_t version = 0;
    WString resumePath;
    CPassCounters counters;
    bool overflow = false;
    std::vector<WString> retryFiles;
    struct Volume {
        uint32_t letter;
        int32_t passCount;
        int32_t panicPassCount;
    };
    std::vector<Volume> volumes;
};
StoredResumeInfo readStoredResumeInfo(const std::string& path);

// Waits (up to 60 s) for a condition another thread brings about.
bool eventually(const std::function<bool()>& condition);

}  // namespace smarttest
