// Which files of a volume were created or grown since tracking began. A watcher thread reads the
// volume's change feed and keeps the names in a table; each one is handed out once it has been
// quiet for a minute, so that a file still being written is left alone. The table survives a
// restart of the service in a small state file.
//
// Threads: the worker thread calls every operation; the watcher thread only fills the table,
// under the tracker's lock. The lock is recursive: lockChanges/unlockChanges bracket one react
// step and the calls inside it take the lock again. Never call startTracking, stopTracking or
// resumeTracking while holding lockChanges: they wait for the watcher, which needs the lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/event.h"
#include "platform/lock.h"
#include "platform/text.h"

class CVolumeChangeFeed;

// A file handed out by nextChangedFile.
struct CChangedFile {
    int32_t created = 0;  // 1: the last change seen was its creation, 0: a modification
    WString path;         // root followed by the path relative to it
};

class CVolumeChangeTracker {
public:
    // More distinct changed files than this ends tracking: a full scan is cheaper then.
    static constexpr size_t kMaxEntries = 20000;
    // A file is ready this long after its last change.
    static constexpr uint32_t kReadyAfterMs = 60000;
    static constexpr uint32_t kBufferBytes = 1u << 20;
    // Notifications are collected at most this often; the system buffers them in between.
    static constexpr uint32_t kReadIntervalMs = 1000;

    // Opens the feed of the volume; null when the volume cannot be watched. Called on the
    // watcher thread while the caller of startTracking waits for it.
    using FeedOpener = std::function<std::unique_ptr<CVolumeChangeFeed>()>;

    // The state file is basePath + "_manual", the root driveLetter + ":\". Does not start.
    CVolumeChangeTracker(char16_t driveLetter, const WString& basePath, FeedOpener openFeed);
    // Saves the table when tracking is on (or ended by itself, so that it is not resumed from an
    // older file), then ends the watcher. Never throws.
    virtual ~CVolumeChangeTracker();
    CVolumeChangeTracker(const CVolumeChangeTracker&) = delete;
    CVolumeChangeTracker& operator=(const CVolumeChangeTracker&) = delete;

    // A new tracking period with an empty table; writes the state file. Throws
    // CDfrgException(ErrorOpenFile / ErrorWriteFile) when the state file cannot be written.
    virtual void startTracking();
    // True at once while the watcher runs. False when tracking ended by itself since it was
    // started (the changes of that period are incomplete). Otherwise restarts the period kept
    // in the state file and returns true, or returns false (missing, foreign or damaged file,
    // or tracking was off when it was written) with tracking off.
    virtual bool resumeTracking();
    // Ends the watcher, forgets every pending change and writes the state file (throws as
    // startTracking).
    virtual void stopTracking();
    virtual void lockChanges();
    virtual void unlockChanges();
    // 2 when tracking is not running; 0 with the file taken by the last successful
    // pollChanges; 1 when there is none.
    virtual int32_t nextChangedFile(CChangedFile& out);
    // 2 when tracking is not running (it has become invalid); 0 when a ready file was taken
    // out of the table and made current; 1 when none is ready.
    virtual int32_t pollChanges();

    const WString& stateFilePath() const { return stateFilePath_; }
    const WString& root() const { return root_; }
    // The watcher thread runs (reaps one that has ended by itself).
    bool isTracking();
    // Files in the table (not counting the current one).
    size_t pendingCount();

private:
    struct Entry {
        int32_t created;
        uint32_t lastChange;
    };
    using Table = std::map<WString, Entry>;

    bool running();
    void startWatcher();
    void stopWatcher();
    void watch();
    // Adds the records of one completion; false when the table has grown past the limit.
    bool takeRecords(const uint8_t* buffer, uint32_t bytes);
    void saveState();

    CCriticalSection lock_;
    WString stateFilePath_;
    WString root_;
    FeedOpener openFeed_;
    Table table_;
    Table::iterator cursor_;
    std::thread watcher_;
    std::atomic<bool> watcherEnded_{false};
    // Tracking ended by itself since the last start or stop.
    bool invalidated_ = false;
    platform::Event stopEvent_{platform::Event::Reset::Manual};
    platform::Event watcherReady_{platform::Event::Reset::Auto};
    WString currentFile_;
    int32_t currentFlag_ = -1;
    bool savingSuppressed_ = false;
};

