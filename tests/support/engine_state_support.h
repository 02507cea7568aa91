// The engine tests' world: status records, clocks driven by hand, registry, log capture, provider,
// contexts over memory volumes, volumes laid out to end a scan in a known way, and a view of a tree.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "engine/engine.h"
#include "engine/pass_state.h"
#include "support/capture_appender.h"
#include "support/fake_clock.h"
#include "support/config_test_registry.h"
#include "support/fake_volume_provider.h"
#include "support/volume_test_support.h"

namespace enginetest {

using Runs = std::vector<CMemoryVolume::Run>;

// The callback is a plain function: records and hook are process-wide, and EngineEnv clears both.
void recordStatus(DfrgStatus status);
std::vector<DfrgStatus> statusRecords();
// Paths of the files whose processing began (status 6, detail 3), in order.
std::vector<WString> startedFiles();
void clearStatus();
// Runs on the worker for every file whose processing begins; may throw to stand for a failure.
void setStartHook(std::function<void(const WString&)> hook);

// A registry of the test's own, the statistics, a log capture and the test's volume provider.
class EngineEnv {
public:
    EngineEnv();
    virtual ~EngineEnv();

    void setSetting(const std::string& name, uint32_t value);
    void setSetting(const std::string& name, const WString& value);
    // The values of a property in the messages with the text (and the volume, when given).
    std::vector<std::string> values(const std::string& text, const std::string& property,
                                    const std::string& volume = std::string()) const;
    int count(const std::string& text, const std::string& volume = std::string()) const;
    std::string statePath(const std::string& name) const { return registry.scratchDirectory() + "/state/" + name; }

    ScopedTestRegistry registry;
    CaptureAppender* log = nullptr;
    std::unique_ptr<CDfrgStatistics> statistics = std::make_unique<CDfrgStatistics>();
    std::shared_ptr<FakeVolumeProvider> provider = std::make_shared<FakeVolumeProvider>();
};

struct EngineOptions {
    bool moveBetterPlace = true;
    uint32_t maxClusterMoveCount = 1024;
};

// A context over one volume, and a pass state that records status. checkState polls after advance().
class EngineFixture : public EngineEnv {
public:
    explicit EngineFixture(std::shared_ptr<CMemoryVolume> volume, EngineOptions options = EngineOptions());
    ~EngineFixture() override;

    CDfrgContext& context() { return *context_; }
    CMemoryVolume& memory() { return *memory_; }
    // The targets of the moves asked since the last call, in order.
    std::vector<uint64_t> takeMoveTargets();
    void advance() { clock.tick_ += 1000; }

    FakeClock clock;
    std::unique_ptr<CDfrgConfig> config;
    CPassState state;

private:
    std::shared_ptr<CMemoryVolume> memory_;
    std::shared_ptr<std::vector<MOVE_FILE_DATA>> moves_;
    std::unique_ptr<CDfrgContext> context_;
};

// A volume whose first scan pass ends clean: small files, a few fragmented ones, much free space.
std::shared_ptr<CMemoryVolume> makeCleanVolume(char16_t letter, bool solidState = false);
// Packed files and one file larger than any free run though not than the free space: nothing improves.
std::shared_ptr<CMemoryVolume> makeHopelessVolume(char16_t letter);
// `directories` folders (and one nested in the first) of `files` small files each (at most 15 of
// each, so that no folder needs index clusters), every fifth fragmented, with room to mend them.
std::shared_ptr<CMemoryVolume> makeTreeVolume(char16_t letter, int directories, int files);

// The resume info as the engine's reader finds it in the state directory (false: none or damaged).
bool storedResume(const std::string& path, CPassState& state);

using voltest::eventually;

// The entries of a volume's tree in the order a walk visits them (no reparse-point files, no root).
struct TreeEntry {
    WString path;
    bool directory = false;
    uint64_t clusters = 0;  // allocated
    uint64_t pieces = 0;    // physically separate pieces
};
std::vector<TreeEntry> listTree(CMemoryVolume& volume);
uint64_t piecesOf(CMemoryVolume& volume, const WString& path);
// The free runs of the volume in LCN order, read from its bitmap.
Runs freeRuns(CMemoryVolume& volume);
// Fills every free cluster outside `keepFree` with one hidden file the walk does not visit.
void fillExcept(CMemoryVolume& volume, const Runs& keepFree);
// A file made of the first free runs in LCN order until it holds `clusters`.
void placeFragmentedFile(CMemoryVolume& volume, const WString& path, uint64_t clusters);

}  // namespace enginetest
