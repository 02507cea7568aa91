// Counts of processed, moved and defragmented files for the current pass, the current day and
// all time, with the service status and the last file, published under the product key's
// "statistics" key for the user-interface program. Counting is in memory; save() writes at most
// once a second unless forced. Each day's counts go to "statistics\daily\YYYY-MM-DD"; a day's
// key is kept while it is at most seven days old.
//
// One object per process: the process entry creates it first thing and destroys it last;
// everybody else uses CDfrgStatistics::instance(). Every operation is thread safe.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>

#include "config/registry.h"
#include "platform/clock.h"
#include "platform/text.h"

class CDfrgStatistics {
public:
    // Unloaded; the registry is first touched by the first operation. Becomes the object that
    // instance() returns. Time comes from the platform clock.
    CDfrgStatistics();
    // Closes the keys; does not save.
    virtual ~CDfrgStatistics();
    CDfrgStatistics(const CDfrgStatistics&) = delete;
    CDfrgStatistics& operator=(const CDfrgStatistics&) = delete;

    // The process-wide object, loaded. When the process made none (tools, tests of other parts),
    // one is made on first use and lives until the process exits.
    static CDfrgStatistics& instance();

    void addProcessed(uint32_t count);
    void addMoved(uint32_t count);
    void addDefragged(uint32_t count);

    // Stores the status when it differs, to be written at the next save.
    void setStatus(int32_t status);
    // true: status 1, false: status 3; neither replaces status 4.
    void setActive(bool active);
    int32_t getStatus();
    void setLastFile(const WString& path);

    // Writes status, last file (each only when changed) and the nine counters. Without force,
    // nothing happens within 1000 ms of the previous save.
    void save(bool force);
    // The pass counters to 0, then a forced save.
    void resetCurrent();
    // Deletes every value of the "statistics" key and sets all nine counters to 0; nothing is
    // written until the next save.
    void resetAll();

    struct Counters {
        uint64_t processed = 0;
        uint64_t moved = 0;
        uint64_t defragged = 0;
    };
    Counters current();
    Counters daily();
    Counters complete();
    WString lastFile();

private:
    struct Fallback {};
    explicit CDfrgStatistics(Fallback);

    void ensureLoaded();
    void dailyCheck();
    void openDailyKey(const std::string& today);
    void cleanupDailyKeys(const platform::LocalTime& now);
    static void readCounters(const CRegistryKey& key, Counters& counters, bool acceptBinary);
    static void writeCounters(CRegistryKey& key, const Counters& counters);

    std::recursive_mutex lock_;
    CRegistry registry_;
    CRegistryKey statisticsKey_;
    CRegistryKey dailyKey_;
    CRegistryKey completeKey_;
    uint32_t lastSave_ = 0;
    const uint32_t minSaveInterval_ = 1000;
    const uint32_t dailyCheckInterval_ = 60000;
    bool statusChanged_ = false;
    int32_t status_ = 0;
    bool lastFileChanged_ = false;
    WString lastFile_;
    Counters current_;
    Counters daily_;
    Counters complete_;
    bool loaded_ = false;
};
