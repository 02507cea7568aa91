// The service's settings, kept in the registry under the product key's "settings" sub key. The
// engine limits are read once at load; the other values are read again at every call, so that a
// change made by the user-interface program applies without a restart. Loading also gives every
// fixed drive a volume key ("Name", "enabled") and records the fixed drives in "Drive Map".
//
// Threads: built on one thread, then read from the defrag and monitoring threads. The cached
// values never change after construction; the live accessors are independent registry queries.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "config/registry.h"
#include "platform/text.h"

class CVolumeProvider;
class CDfrgVolume;

class CDfrgConfig {
public:
    // Loads; throws CDfrgException(ErrorFileNotFound, "Couldn't load config from Registry") when
    // the settings key or a new volume key cannot be opened or created.
    CDfrgConfig();
    ~CDfrgConfig();
    CDfrgConfig(const CDfrgConfig&) = delete;
    CDfrgConfig& operator=(const CDfrgConfig&) = delete;

    // Live values.
    bool doRunInBatteryMode();
    bool doRunWhilePrinting();
    bool enablePauseReasonLog();
    bool makeDump();
    uint32_t dumpType();
    WString dumpPath();
    // The drive letter of the index-th enabled volume key (0-based, in enumeration order), or 0
    // past the last one. A volume key without "enabled" counts as enabled.
    char getEnabledVolume(int index);
    // "defragSolidState": 1 lets the worker defragment volumes on solid-state drives (default 0).
    bool defragSolidState();
    // "sessionZeroProbes": 1 makes the service's own input, cursor and window probes fail as in
    // session 0 (a test hook: the agents alone then carry what the user does).
    bool sessionZeroProbes();
    // Records under the product key ("volumeSkipped_X", REG_DWORD) why the worker leaves a
    // volume alone, for the status tool; reason 0 removes the record.
    static constexpr uint32_t kSkipSolidState = 1;
    void recordVolumeSkip(char letter, uint32_t reason);

    // Read once at load.
    uint32_t maxClusterMoveCount() const;
    uint32_t maxExtentListSize() const;
    bool doMoveLeft() const;
    bool doMoveBetterPlace() const;
    // -1 when not set.
    int32_t maxProcessCalls() const;

    // "..\state\", relative to the current directory.
    WString stateDirectory() const;

    // Not a registry value: set by the controller for a benchmark run.
    bool benchmarkMode() const;
    void setBenchmarkMode(bool on);

    // The source of drives and volumes, chosen at load ("simulationDirectory" when set).
    std::shared_ptr<CVolumeProvider> volumeProvider() const;

private:
    void scanDrives();
    uint32_t ensureDword(const char* name, uint32_t defaultValue);

    CRegistry registry_;
    CRegistryKey settingsKey_;
    uint32_t maxProcessCalls_ = 0xFFFFFFFFu;
    std::atomic<bool> benchmarkMode_{false};
    uint32_t maxClusterMoveCount_ = 0;
    uint32_t maxExtentListSize_ = 0;
    uint32_t doMoveLeft_ = 0;
    uint32_t doMoveBetterPlace_ = 0;
    WString stateDirectory_;
    std::shared_ptr<CVolumeProvider> volumeProvider_;
};

// True when the worker is to leave this volume alone: its device reports no seek penalty (a
// solid-state drive, which defragmenting only wears) and "defragSolidState" is not 1. A device
// that cannot tell counts as rotating. Logs the reason and records it for the status tool.
bool leaveVolumeAlone(CDfrgConfig& config, CDfrgVolume& volume, char letter);

// The most recently constructed settings object; nullptr before the first and once that one is
// destroyed.
CDfrgConfig* currentConfig();
