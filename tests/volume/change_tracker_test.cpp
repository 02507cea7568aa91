// The change tracker over the memory volume's change feed (and a scripted feed for damaged
// notification buffers): readiness after a quiet minute, the circular cursor, the table limit,
// and the state file across a restart.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>

#include "platform/clock.h"
#include "platform/state_file.h"
#include "service/dfrg_exception.h"
#include "support/volume_temp_dir.h"
#include "support/volume_test_support.h"
#include "volume/change_tracker.h"
#include "volume/volume_change_feed.h"

using namespace voltest;

namespace {

std::atomic<uint32_t> g_now{500000};
uint32_t fakeNow() { return g_now.load(); }

WString wide(const std::string& s) { return platform::utf8ToUtf16(s); }

// Waits (up to 20 s) for a condition that the watcher thread brings about.
template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 2000; ++i) {
        if (condition()) return true;
        platform::sleepMs(10);
    }
    return condition();
}

class ChangeTrackerTest : public ::testing::Test {
protected:
    ChangeTrackerTest() { setChangeTrackerTickSource(fakeNow); }
    ~ChangeTrackerTest() override { setChangeTrackerTickSource(nullptr); }

    std::unique_ptr<CVolumeChangeTracker> makeTracker() {
        std::shared_ptr<CMemoryVolume> v = volume;
        return std::make_unique<CVolumeChangeTracker>(u'C', base, [v] { return v->openChangeFeed(); });
    }
    void create(const WString& name) { placeFile(*volume, u"C:\\" + name, {}); }
    // A file grows by one cluster (a "modified" notification).
    void grow(const WString& name) {
        HANDLE h = volume->createFile(u"C:\\" + name, GENERIC_WRITE, 7, OPEN_EXISTING, 0);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(volume->appendToFile(h, 4096));
        volume->closeHandle(h);
    }
    static std::vector<CChangedFile> drain(CVolumeChangeTracker& t) {
        std::vector<CChangedFile> out;
        while (t.pollChanges() == 0) {
            CChangedFile f;
            EXPECT_EQ(t.nextChangedFile(f), 0);
            out.push_back(f);
        }
        return out;
    }

    TempDir dir{"tracker"};
    WString base = wide((dir.path() / "changeTrack_C").u8string());
    std::shared_ptr<CMemoryVolume> volume = makeVolume(50000);
};

TEST_F(ChangeTrackerTest, AFileIsReadyAMinuteAfterItsLastChangeWhichDecidesItsFlag) {
    auto tracker = makeTracker();
    tracker->startTracking();
    EXPECT_EQ(tracker->pollChanges(), 1);
    CChangedFile none;
    EXPECT_EQ(tracker->nextChangedFile(none), 1);

    create(u"a");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 1; }));
    g_now += 30000;
    grow(u"a");
    // The marker is reported after the change of a, so once it is in, a's change is too.
    create(u"marker");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 2; }));

    g_now += 59999;
    EXPECT_EQ(tracker->pollChanges(), 1);
    g_now += 1;
    ASSERT_EQ(tracker->pollChanges(), 0);
    CChangedFile f;
    ASSERT_EQ(tracker->nextChangedFile(f), 0);
    EXPECT_EQ(f.path, u"C:\\a");
    EXPECT_EQ(f.created, 0);
    // The current file stays current until the next poll; the marker came at the same tick.
    ASSERT_EQ(tracker->nextChangedFile(f), 0);
    EXPECT_EQ(f.path, u"C:\\a");
    ASSERT_EQ(tracker->pollChanges(), 0);
    ASSERT_EQ(tracker->nextChangedFile(f), 0);
    EXPECT_EQ(f.path, u"C:\\marker");
    EXPECT_EQ(f.created, 1);
    EXPECT_EQ(tracker->pollChanges(), 1);
    EXPECT_EQ(tracker->nextChangedFile(f), 1);
    EXPECT_EQ(tracker->pendingCount(), 0u);
}

TEST_F(ChangeTrackerTest, PollingWalksTheTableInACircle) {
    auto tracker = makeTracker();
    tracker->startTracking();
    create(u"A");
    create(u"C");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 2; }));
    g_now += 30000;
    create(u"B");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 3; }));
    g_now += 30000;
    // A and C are ready, B is not: the walk skips B and reaches the end of the table.
    std::vector<WString> order;
    CChangedFile f;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(tracker->pollChanges(), 0);
        ASSERT_EQ(tracker->nextChangedFile(f), 0);
        order.push_back(f.path);
        EXPECT_EQ(f.created, 1);
    }
    EXPECT_EQ(order, (std::vector<WString>{u"C:\\A", u"C:\\C"}));
    EXPECT_EQ(tracker->pollChanges(), 1);
    g_now += 30000;
    // The cursor stands at the end and wraps to B.
    ASSERT_EQ(tracker->pollChanges(), 0);
    ASSERT_EQ(tracker->nextChangedFile(f), 0);
    EXPECT_EQ(f.path, u"C:\\B");
    EXPECT_EQ(tracker->pollChanges(), 1);
}

TEST_F(ChangeTrackerTest, TheChangedFileAfterTheLimitEndsTrackingForGood) {
    auto tracker = makeTracker();
    tracker->startTracking();
    placeFile(*volume, u"C:\\d", {}, FILE_ATTRIBUTE_DIRECTORY);
    for (size_t i = 0; i < CVolumeChangeTracker::kMaxEntries; ++i)
        create(u"d\\" + wide(std::to_string(i)));
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == CVolumeChangeTracker::kMaxEntries; }));
    EXPECT_TRUE(tracker->isTracking());
    // A file already in the table does not count again.
    grow(u"d\\7");
    create(u"one-more");
    ASSERT_TRUE(eventually([&] { return !tracker->isTracking(); }));
    EXPECT_EQ(tracker->pollChanges(), 2);
    CChangedFile f;
    EXPECT_EQ(tracker->nextChangedFile(f), 2);

    // The period cannot be resumed from the state file written when it began.
    EXPECT_FALSE(tracker->resumeTracking());
    EXPECT_EQ(tracker->pollChanges(), 2);
    tracker.reset();
    EXPECT_FALSE(makeTracker()->resumeTracking());

    // A new period works again.
    tracker = makeTracker();
    tracker->startTracking();
    create(u"fresh");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 1; }));
    g_now += 60000;
    EXPECT_EQ(drain(*tracker).size(), 1u);
}

TEST_F(ChangeTrackerTest, AWatcherThatEndedByItselfIsNotResumedAfterARestart) {
    auto tracker = makeTracker();
    tracker->startTracking();
    volume->goAway();
    ASSERT_TRUE(eventually([&] { return !tracker->isTracking(); }));
    tracker.reset();
    auto again = makeTracker();
    EXPECT_FALSE(again->resumeTracking());
    EXPECT_EQ(again->pollChanges(), 2);
}

TEST_F(ChangeTrackerTest, PendingChangesSurviveARestartAndWaitAnotherMinute) {
    auto tracker = makeTracker();
    tracker->startTracking();
    create(u"x");
    create(u"y");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 2; }));
    g_now += 10000;
    create(u"z");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 3; }));
    g_now += 60000;
    ASSERT_EQ(tracker->pollChanges(), 0);  // x becomes current, y stays, z is not ready
    tracker.reset();

    // The file: tag, active, count 3 (current file first), then the table in order.
    platform::StateFileReader in;
    ASSERT_TRUE(in.open(base + u"_manual"));
    WString tag, name;
    bool active = false;
    uint32_t count = 0;
    int32_t flag = -1;
    ASSERT_TRUE(in.readWString(tag) && in.readBool(active) && in.readU32(count));
    EXPECT_EQ(tag, u"VCHANGEMAN");
    EXPECT_TRUE(active);
    EXPECT_EQ(count, 3u);
    std::vector<WString> names;
    for (uint32_t i = 0; i < count; ++i) {
        ASSERT_TRUE(in.readWString(name) && in.readI32(flag));
        names.push_back(name);
        EXPECT_EQ(flag, 1);
    }
    EXPECT_EQ(names, (std::vector<WString>{u"x", u"y", u"z"}));
    char extra;
    EXPECT_FALSE(in.readBytes(&extra, 1));

    auto restored = makeTracker();
    ASSERT_TRUE(restored->resumeTracking());
    EXPECT_TRUE(restored->resumeTracking());  // already running
    EXPECT_EQ(restored->pendingCount(), 3u);
    g_now += 59999;
    EXPECT_EQ(restored->pollChanges(), 1);
    g_now += 1;
    auto files = drain(*restored);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].path, u"C:\\x");
    // Still watching after the restore.
    create(u"w");
    ASSERT_TRUE(eventually([&] { return restored->pendingCount() == 1; }));
}

TEST_F(ChangeTrackerTest, AForeignOrDamagedStateFileIsNotResumed) {
    struct Case {
        const char* what;
        std::function<void(platform::StateFileWriter&)> write;
    };
    const std::vector<Case> cases{
        {"another tag",
         [](platform::StateFileWriter& w) {
             w.writeWString(u"VCHANGEMAX");
             w.writeBool(true);
             w.writeU32(0);
         }},
        {"inactive",
         [](platform::StateFileWriter& w) {
             w.writeWString(u"VCHANGEMAN");
             w.writeBool(false);
         }},
        {"count past the limit",
         [](platform::StateFileWriter& w) {
             w.writeWString(u"VCHANGEMAN");
             w.writeBool(true);
             w.writeU32(20002);
         }},
        {"a flag that is no flag",
         [](platform::StateFileWriter& w) {
             w.writeWString(u"VCHANGEMAN");
             w.writeBool(true);
             w.writeU32(1);
             w.writeWString(u"f");
             w.writeI32(7);
         }},
        {"cut short",
         [](platform::StateFileWriter& w) {
             w.writeWString(u"VCHANGEMAN");
             w.writeBool(true);
             w.writeU32(2);
             w.writeWString(u"f");
             w.writeI32(1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::StateFileWriter w;
        ASSERT_TRUE(w.open(base + u"_manual"));
        c.write(w);
        ASSERT_TRUE(w.commit());
        auto tracker = makeTracker();
        EXPECT_FALSE(tracker->resumeTracking());
        EXPECT_FALSE(tracker->isTracking());
        EXPECT_EQ(tracker->pollChanges(), 2);
        EXPECT_EQ(tracker->pendingCount(), 0u);
    }
    // A missing file is no tracking either.
    std::filesystem::remove(dir.path() / "changeTrack_C_manual");
    EXPECT_FALSE(makeTracker()->resumeTracking());
}

TEST_F(ChangeTrackerTest, StopForgetsAndAStartWatchesAgain) {
    auto tracker = makeTracker();
    tracker->startTracking();
    create(u"a");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 1; }));
    tracker->stopTracking();
    EXPECT_EQ(tracker->pendingCount(), 0u);
    EXPECT_EQ(tracker->pollChanges(), 2);
    EXPECT_FALSE(makeTracker()->resumeTracking());  // the file says inactive
    tracker->startTracking();
    create(u"b");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 1; }));
    g_now += 60000;
    auto files = drain(*tracker);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].path, u"C:\\b");
}

TEST_F(ChangeTrackerTest, AStateFileThatCannotBeWrittenIsAnError) {
    CVolumeChangeTracker tracker(u'C', wide((dir.path() / "missing" / "changeTrack_C").u8string()),
                                 [this] { return volume->openChangeFeed(); });
    try {
        tracker.startTracking();
        FAIL() << "no exception";
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorOpenFile);
        EXPECT_EQ(e.message(), "Couldn't open volume change tracking state file.");
    }
}

// A feed that hands out prepared buffers, to reach the record walk with damaged input.
class ScriptedFeed : public CVolumeChangeFeed {
public:
    struct Script {
        std::mutex lock;
        std::deque<std::vector<uint8_t>> batches;
        platform::Event ready{platform::Event::Reset::Manual};
        std::atomic<int> reads{0};
    };
    explicit ScriptedFeed(std::shared_ptr<Script> s) : script_(std::move(s)) {}
    Result read(void* buffer, uint32_t bufferSize, uint32_t& bytes, platform::Event& stop) override {
        bytes = 0;
        if (platform::Event::waitAny({&stop, &script_->ready}) == 0) return Result::Stopped;
        std::lock_guard<std::mutex> g(script_->lock);
        std::vector<uint8_t> batch = std::move(script_->batches.front());
        script_->batches.pop_front();
        if (script_->batches.empty()) script_->ready.reset();
        if (!batch.empty()) std::memcpy(buffer, batch.data(), std::min<size_t>(batch.size(), bufferSize));
        bytes = static_cast<uint32_t>(batch.size());
        ++script_->reads;
        return Result::Changes;
    }

private:
    std::shared_ptr<Script> script_;
};

void appendRecord(std::vector<uint8_t>& out, uint32_t next, uint32_t action, const WString& name,
                  uint32_t nameBytes = ~0u) {
    const size_t at = out.size();
    out.resize(at + 12 + name.size() * 2);
    const uint32_t length = nameBytes == ~0u ? static_cast<uint32_t>(name.size() * 2) : nameBytes;
    std::memcpy(&out[at], &next, 4);
    std::memcpy(&out[at + 4], &action, 4);
    std::memcpy(&out[at + 8], &length, 4);
    if (!name.empty()) std::memcpy(&out[at + 12], name.data(), name.size() * 2);
}

TEST_F(ChangeTrackerTest, OnlyWholeAddedAndModifiedRecordsAreTaken) {
    auto script = std::make_shared<ScriptedFeed::Script>();
    CVolumeChangeTracker tracker(u'E', base, [script] { return std::make_unique<ScriptedFeed>(script); });
    tracker.startTracking();
    std::vector<uint8_t> batch;
    appendRecord(batch, 16, 1, u"ab");       // added
    appendRecord(batch, 16, 2, u"cd");       // removed: ignored
    appendRecord(batch, 20, 4, u"old1");     // renamed: ignored
    appendRecord(batch, 16, 3, u"ef");       // modified
    appendRecord(batch, 0, 1, u"gh", 4000);  // its name runs past the buffer: the walk stops
    std::vector<uint8_t> second;
    appendRecord(second, 9999, 1, u"ij");   // an offset past the end stops after nothing
    std::vector<uint8_t> third;               // 0 bytes: the system lost the notifications
    std::vector<uint8_t> fourth;
    appendRecord(fourth, 0, 3, u"kl");
    appendRecord(fourth, 0, 3, u"mn");  // after a record with offset 0: never read
    {
        std::lock_guard<std::mutex> g(script->lock);
        script->batches = {batch, second, third, fourth};
        script->ready.set();
    }
    ASSERT_TRUE(eventually([&] { return script->reads == 4 && tracker.pendingCount() == 3; }));
    g_now += 60000;
    std::vector<std::pair<WString, int32_t>> got;
    for (const CChangedFile& f : drain(tracker)) got.emplace_back(f.path, f.created);
    EXPECT_EQ(got, (std::vector<std::pair<WString, int32_t>>{{u"E:\\ab", 1}, {u"E:\\ef", 0}, {u"E:\\kl", 0}}));
}

}  // namespace
