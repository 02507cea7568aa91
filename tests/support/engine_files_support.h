// Helpers for tests of file processing, the move strategies and the volume dump: a fixture with
// settings, statistics, a log capture and a context over a memory volume; the status records the
// engine sent; and an independent view of a memory volume's tree and free space.
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
#include "support/config_test_registry.h"
#include "support/volume_test_support.h"

namespace enginetest {

// Every status record the engine sent since the last clearStatus, in order. The hook, when set,
// sees each record as it is sent (to change the volume in the middle of a walk).
std::vector<DfrgStatus>& statusRecords();
void clearStatus();
void setStatusHook(std::function<void(const DfrgStatus&)> hook);

// The memory volume as the engine sees it, recording every move asked of it. A move for which
// `pretend` answers true reports success without moving anything (a file system that lies).
class EngineVolume : public voltest::CScriptedVolume {
public:
    explicit EngineVolume(std::shared_ptr<CMemoryVolume> memory) : CScriptedVolume(std::move(memory), {}) {}
    BOOL moveFile(const MOVE_FILE_DATA& move) override;
    std::function<bool(const MOVE_FILE_DATA&)> pretend;
};

struct EngineOptions {
    bool moveBetterPlace = true;  // "DoMoveBetterPlace"
    bool moveLeft = false;        // "DoMoveLeft"
    uint32_t maxClusterMoveCount = 1024;
    uint32_t dumpType = 0;
};

// Settings loaded from a registry of the test's own, the statistics, a log capture, and a
// context over the volume with a tick that stands still (checkState polls only after advance()).
// The pass state points at the settings and records status.
class EngineFixture {
public:
    explicit EngineFixture(std::shared_ptr<CMemoryVolume> volume, EngineOptions options = EngineOptions());
    ~EngineFixture();
    EngineFixture(const EngineFixture&) = delete;
    EngineFixture& operator=(const EngineFixture&) = delete;

    CPassState& state() { return state_; }
    CDfrgContext& context() { return *context_; }
    CMemoryVolume& memory() { return *memory_; }
    EngineVolume& volume() { return *volume_; }
    // The targets of the moves asked since the last call, in order.
    std::vector<uint64_t> takeMoveTargets();
    // Lets the next checkState look at the events.
    static void advance() { voltest::ContextFixture::advance(); }
    CDfrgConfig& config() { return *config_; }
    CDfrgStatistics& statistics() { return *statistics_; }
    // The messages logged with this text.
    std::vector<CaptureAppender::Entry> logged(const std::string& text) const;
    // The value of a message's property, empty when it has none.
    static std::string property(const CaptureAppender::Entry& entry, const std::string& name);

private:
    ScopedTestRegistry registry_;
    std::unique_ptr<CDfrgStatistics> statistics_;
    std::unique_ptr<CDfrgConfig> config_;
    CaptureAppender* log_ = nullptr;
    std::shared_ptr<CMemoryVolume> memory_;
    EngineVolume* volume_ = nullptr;
    std::unique_ptr<CDfrgContext> context_;
    CPassState state_;
};

// One entry of a memory volume's tree as a walk sees it (files that are reparse points are left
// out, the root too), read straight from the memory volume.
struct TreeEntry {
    WString path;
    bool directory = false;
    uint64_t clusters = 0;  // allocated
    uint64_t pieces = 0;    // physically separate pieces
};
std::vector<TreeEntry> listTree(CMemoryVolume& volume);
uint64_t piecesOf(const std::vector<CMemoryVolume::Run>& runs);
// The file's physically separate pieces now.
uint64_t piecesOf(CMemoryVolume& volume, const WString& path);

// Whether the volume has a free run of at least n clusters, read from its bitmap.
bool hasFreeRun(CMemoryVolume& volume, uint64_t n);
// The free runs of the volume in LCN order, read from its bitmap.
std::vector<CMemoryVolume::Run> freeRuns(CMemoryVolume& volume);
// Fills every free cluster of the volume outside `keepFree` with one hidden file that the walk
// does not visit (a reparse point), so that a test decides exactly where the free runs are.
void fillExcept(CMemoryVolume& volume, const std::vector<CMemoryVolume::Run>& keepFree);

// Places a file made of the first free runs in LCN order until it holds `clusters`; fails the
// test when the volume has too few.
void placeFragmentedFile(CMemoryVolume& volume, const WString& path, uint64_t clusters);

}  // namespace enginetest
