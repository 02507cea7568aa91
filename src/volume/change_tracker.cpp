#include "volume/change_tracker.h"

#include <cstring>
#include <vector>

#include "logging/log.h"
#include "platform/clock.h"
#include "platform/state_file.h"
#include "platform/dfrg_exception.h"
#include "volume/volume_change_feed.h"

namespace {

constexpr uint32_t kActionAdded = 1;
constexpr uint32_t kActionModified = 3;
constexpr size_t kRecordHeader = 12;
const char16_t kStateTag[] = u"VCHANGEMAN";
// A tag longer than this is not ours; no need to read it in.
constexpr uint32_t kMaxTagLength = 64;

uint32_t now() { return platform::tickCount(); }

uint32_t readU32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

CVolumeChangeTracker::CVolumeChangeTracker(char16_t driveLetter, const WString& basePath, FeedOpener openFeed)
    : stateFilePath_(basePath + u"_manual"),
      root_{driveLetter, u':', u'\\'},
      openFeed_(std::move(openFeed)),
      cursor_(table_.end()) {}

CVolumeChangeTracker::~CVolumeChangeTracker() {
    try {
        // A watcher that ended by itself is saved too: its older state file says tracking is on.
        if (running() || invalidated_) saveState();
    } catch (const CDfrgException& e) {
        LogScope scope("~CVolumeChangeTracker");
        LogMessage(scope, LogPriority::Warning)
            .text("Could not save the change tracking state.")
            .prop("ErrorCode", e.code())
            .prop("ErrorMessage", e.message());
    }
    stopWatcher();
}

bool CVolumeChangeTracker::running() {
    CLockGuard guard(lock_);
    if (!watcher_.joinable()) return false;
    if (!watcherEnded_.load()) return true;
    // The thread has ended by itself: forget it, tracking is no longer valid.
    watcher_.join();
    watcherEnded_.store(false);
    invalidated_ = true;
    return false;
}

bool CVolumeChangeTracker::isTracking() { return running(); }

size_t CVolumeChangeTracker::pendingCount() {
    CLockGuard guard(lock_);
    return table_.size();
}

void CVolumeChangeTracker::startWatcher() {
    stopWatcher();
    stopEvent_.reset();
    watcherEnded_.store(false);
    watcher_ = std::thread(&CVolumeChangeTracker::watch, this);
    // The feed is opened on the watcher thread; the volume is only touched while we wait here.
    watcherReady_.wait();
}

void CVolumeChangeTracker::stopWatcher() {
    if (!watcher_.joinable()) return;
    stopEvent_.set();
    watcher_.join();
    watcherEnded_.store(false);
}

void CVolumeChangeTracker::watch() {
    setLogThreadName("ChangeTracker");
    std::unique_ptr<CVolumeChangeFeed> feed;
    try {
        feed = openFeed_();
    } catch (...) {
        feed.reset();
    }
    watcherReady_.set();
    const char* reason = "The volume cannot be watched.";
    if (feed) {
        // uint64_t elements keep the records DWORD aligned.
        std::vector<uint64_t> buffer(kBufferBytes / sizeof(uint64_t));
        for (;;) {
            uint32_t bytes = 0;
            const CVolumeChangeFeed::Result result = feed->read(buffer.data(), kBufferBytes, bytes, stopEvent_);
            if (result == CVolumeChangeFeed::Result::Stopped) {
                reason = nullptr;
                break;
            }
            if (result == CVolumeChangeFeed::Result::Failed) {
                reason = "Reading the change notifications failed.";
                break;
            }
            if (!takeRecords(reinterpret_cast<const uint8_t*>(buffer.data()), bytes)) {
                reason = "Too many changed files.";
                break;
            }
            if (stopEvent_.wait(kReadIntervalMs)) {
                reason = nullptr;
                break;
            }
        }
    }
    feed.reset();
    if (reason) {
        LogScope scope("CVolumeChangeTracker::watch");
        LogMessage(scope, LogPriority::Informal).text("Change tracking ended.").prop("Reason", reason).prop(
            "Root", platform::utf16ToUtf8(root_));
    }
    watcherEnded_.store(true);
}

bool CVolumeChangeTracker::takeRecords(const uint8_t* buffer, uint32_t bytes) {
    CLockGuard guard(lock_);
    const uint32_t t = now();
    uint64_t offset = 0;
    while (bytes - offset >= kRecordHeader) {
        const uint8_t* record = buffer + offset;
        const uint64_t remaining = bytes - offset;
        const uint32_t next = readU32(record);
        const uint32_t action = readU32(record + 4);
        const uint64_t nameBytes = readU32(record + 8);
        if (nameBytes + kRecordHeader > remaining || next > remaining) break;
        if (action == kActionAdded || action == kActionModified) {
            WString name(static_cast<size_t>(nameBytes / 2), u'\0');
            if (!name.empty()) std::memcpy(&name[0], record + kRecordHeader, name.size() * 2);
            Entry& entry = table_[name];
            entry.created = action == kActionAdded ? 1 : 0;
            entry.lastChange = t;
            if (table_.size() > kMaxEntries) return false;
        }
        if (next == 0) break;
        offset += next;
    }
    return true;
}

void CVolumeChangeTracker::startTracking() {
    stopTracking();
    startWatcher();
    saveState();
}

void CVolumeChangeTracker::stopTracking() {
    stopWatcher();
    {
        CLockGuard guard(lock_);
        table_.clear();
        cursor_ = table_.end();
        currentFlag_ = -1;
        currentFile_.clear();
        invalidated_ = false;
    }
    saveState();
}

bool CVolumeChangeTracker::resumeTracking() {
    if (running()) return true;
    if (invalidated_) {
        // Resuming from the state file would silently drop what the ended period missed.
        stopTracking();
        return false;
    }

    savingSuppressed_ = true;
    stopTracking();
    savingSuppressed_ = false;

    bool active = false;
    bool ok = false;
    std::vector<std::pair<WString, int32_t>> entries;
    {
        // Closed before anything is written: the file cannot be replaced while it is open.
        platform::StateFileReader reader;
        if (!reader.open(stateFilePath_)) return false;
        WString tag;
        ok = reader.readWString(tag, kMaxTagLength) && tag == kStateTag && reader.readBool(active);
        if (ok && active) {
            uint32_t count = 0;
            // The current file is stored as one more entry.
            ok = reader.readU32(count) && count <= kMaxEntries + 1;
            for (uint32_t i = 0; ok && i < count; ++i) {
                WString name;
                int32_t created = 0;
                ok = reader.readWString(name) && reader.readI32(created) && (created == 0 || created == 1);
                if (ok) entries.emplace_back(std::move(name), created);
            }
        }
    }
    if (!ok) {
        stopTracking();
        return false;
    }
    if (!active) return false;

    savingSuppressed_ = true;
    try {
        startTracking();
    } catch (...) {
        savingSuppressed_ = false;
        throw;
    }
    savingSuppressed_ = false;
    // Every restored file waits another minute.
    CLockGuard guard(lock_);
    const uint32_t t = now();
    for (auto& e : entries) table_[std::move(e.first)] = Entry{e.second, t};
    return true;
}

void CVolumeChangeTracker::lockChanges() { lock_.enter(); }

void CVolumeChangeTracker::unlockChanges() { lock_.leave(); }

int32_t CVolumeChangeTracker::pollChanges() {
    CLockGuard guard(lock_);
    if (!running()) return 2;
    currentFlag_ = -1;
    const uint32_t t = now();
    const size_t steps = table_.size();
    for (size_t i = 0; i < steps; ++i) {
        if (cursor_ == table_.end()) cursor_ = table_.begin();
        if (t - cursor_->second.lastChange >= kReadyAfterMs) {
            currentFile_ = cursor_->first;
            currentFlag_ = cursor_->second.created;
            cursor_ = table_.erase(cursor_);
            return 0;
        }
        ++cursor_;
    }
    return 1;
}

int32_t CVolumeChangeTracker::nextChangedFile(CChangedFile& out) {
    CLockGuard guard(lock_);
    if (!running()) return 2;
    if (currentFlag_ == -1) return 1;
    out.created = currentFlag_;
    out.path = root_ + currentFile_;
    return 0;
}

void CVolumeChangeTracker::saveState() {
    if (savingSuppressed_) return;
    platform::StateFileWriter writer;
    if (!writer.open(stateFilePath_))
        throw CDfrgException(ErrorOpenFile, "Couldn't open volume change tracking state file.");
    bool ok;
    {
        CLockGuard guard(lock_);
        const bool active = running();
        ok = writer.writeWString(kStateTag) && writer.writeBool(active);
        if (active) {
            const bool hasCurrent = currentFlag_ != -1;
            ok = ok && writer.writeU32(static_cast<uint32_t>(table_.size() + (hasCurrent ? 1 : 0)));
            if (hasCurrent) ok = ok && writer.writeWString(currentFile_) && writer.writeI32(currentFlag_);
            for (auto it = table_.begin(); ok && it != table_.end(); ++it)
                ok = writer.writeWString(it->first) && writer.writeI32(it->second.created);
        }
    }
    if (!ok || !writer.commit())
        throw CDfrgException(ErrorWriteFile, "Error writing to volume change tracking state file.");
}
