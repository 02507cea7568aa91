// The change tracker over the memory volume's change feed: readiness after a quiet minute, the circular cursor, the table limit,
// and the state file across a restart.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/state_file.h"
#include "support/temp_dir.h"
#include "support/volume_test_support.h"
#include "volume/change_tracker.h"
#include "volume/volume_change_feed.h"

using namespace voltest;

namespace {

class ChangeTrackerTest : public ::testing::Test {
protected:
    FakeClock clock;

    std::unique_ptr<CVolumeChangeTracker> makeTracker() {
        std::shared_ptr<CMemoryVolume> v = volume;
        return std::make_unique<CVolumeChangeTracker>(u'C', base, [v] { return v->openChangeFeed(); });
    }
    void create(const WString& name) { placeFile(*volume, u"C:\\" + name, {}); }
    std::vector<std::pair<WString, int32_t>> drain(CVolumeChangeTracker& t) {
        std::vector<std::pair<WString, int32_t>> out;
        CChangedFile f;
        while (t.pollChanges() == 0 && t.nextChangedFile(f) == 0) out.emplace_back(f.path, f.created);
        return out;
    }

    TempDir dir{"tracker"};
    WString base = platform::utf8ToUtf16(dir.file("changeTrack_C"));
    std::shared_ptr<CMemoryVolume> volume = makeVolume(50000);
};

using Files = std::vector<std::pair<WString, int32_t>>;

TEST_F(ChangeTrackerTest, AFileIsReadyAMinuteAfterItsLastChangeWhichDecidesItsFlag) {
    create(u"old");
    auto tracker = makeTracker();
    tracker->startTracking();
    CChangedFile f;
    EXPECT_EQ(tracker->pollChanges(), 1);
    EXPECT_EQ(tracker->nextChangedFile(f), 1);

    ASSERT_TRUE(volume->deleteFile(u"C:\\old"));  // removals are not taken
    create(u"a");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 1; }));
    clock.tick_ += 30000;
    HANDLE h = volume->createFile(u"C:\\a", GENERIC_WRITE, 7, OPEN_EXISTING, 0);
    ASSERT_TRUE(volume->appendToFile(h, 4096));
    volume->closeHandle(h);
    create(u"marker");  // reported after the change of a
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 2; }));

    clock.tick_ += 59999;
    EXPECT_EQ(tracker->pollChanges(), 1);
    clock.tick_ += 1;
    ASSERT_EQ(tracker->pollChanges(), 0);
    ASSERT_EQ(tracker->nextChangedFile(f), 0);
    EXPECT_EQ(f.path, u"C:\\a");
    EXPECT_EQ(f.created, 0);
    ASSERT_EQ(tracker->nextChangedFile(f), 0);  // current until the next poll
    EXPECT_EQ(f.path, u"C:\\a");
    EXPECT_EQ(drain(*tracker), (Files{{u"C:\\marker", 1}}));
    EXPECT_EQ(tracker->nextChangedFile(f), 1);
}

TEST_F(ChangeTrackerTest, PollingWalksTheTableInACircle) {
    auto tracker = makeTracker();
    tracker->startTracking();
    create(u"A");
    create(u"C");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 2; }));
    clock.tick_ += 30000;
    create(u"B");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 3; }));
    clock.tick_ += 30000;
    // A and C are ready, B is not: the walk passes B and stops at the end of the table.
    EXPECT_EQ(drain(*tracker), (Files{{u"C:\\A", 1}, {u"C:\\C", 1}}));
    clock.tick_ += 30000;
    EXPECT_EQ(drain(*tracker), (Files{{u"C:\\B", 1}}));  // wrapped
}

TEST_F(ChangeTrackerTest, TheChangedFileAfterTheLimitEndsTrackingForGood) {
    auto tracker = makeTracker();
    tracker->startTracking();
    placeFile(*volume, u"C:\\d", {}, FILE_ATTRIBUTE_DIRECTORY);
    for (size_t i = 0; i < CVolumeChangeTracker::kMaxEntries; ++i)
        create(u"d\\" + platform::utf8ToUtf16(std::to_string(i)));
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == CVolumeChangeTracker::kMaxEntries; }));
    EXPECT_TRUE(tracker->isTracking());
    create(u"one-more");
    ASSERT_TRUE(eventually([&] { return !tracker->isTracking(); }));
    EXPECT_EQ(tracker->pollChanges(), 2);
    CChangedFile f;
    EXPECT_EQ(tracker->nextChangedFile(f), 2);

    // Neither this tracker nor one made after a restart resumes from the state file written
    // when the period began: the changes after the limit are lost.
    EXPECT_FALSE(tracker->resumeTracking());
    tracker->startTracking();
    volume->goAway();
    ASSERT_TRUE(eventually([&] { return !tracker->isTracking(); }));
    tracker.reset();
    tracker = makeTracker();
    EXPECT_FALSE(tracker->resumeTracking());
    EXPECT_EQ(tracker->pollChanges(), 2);
}

TEST_F(ChangeTrackerTest, PendingChangesSurviveARestartAndWaitAnotherMinute) {
    auto tracker = makeTracker();
    tracker->startTracking();
    create(u"x");
    create(u"y");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 2; }));
    clock.tick_ += 10000;
    create(u"z");
    ASSERT_TRUE(eventually([&] { return tracker->pendingCount() == 3; }));
    clock.tick_ += 50000;
    ASSERT_EQ(tracker->pollChanges(), 0);  // x becomes current, y and z stay
    tracker.reset();

    // Tag, active, count 3 with the current file first, then the table in order.
    platform::StateFileReader in;
    ASSERT_TRUE(in.open(base + u"_manual"));
    WString tag, name;
    bool active = false;
    uint32_t count = 0;
    int32_t flag = -1;
    ASSERT_TRUE(in.readWString(tag) && in.readBool(active) && in.readU32(count));
    EXPECT_EQ(tag, u"VCHANGEMAN");
    EXPECT_TRUE(active);
    ASSERT_EQ(count, 3u);
    for (const char16_t* expected : {u"x", u"y", u"z"}) {
        ASSERT_TRUE(in.readWString(name) && in.readI32(flag));
        EXPECT_EQ(name, expected);
        EXPECT_EQ(flag, 1);
    }
    char extra;
    EXPECT_FALSE(in.readBytes(&extra, 1));

    auto restored = makeTracker();
    ASSERT_TRUE(restored->resumeTracking());
    EXPECT_EQ(restored->pendingCount(), 3u);
    clock.tick_ += 59999;
    EXPECT_EQ(restored->pollChanges(), 1);
    clock.tick_ += 1;
    EXPECT_EQ(drain(*restored), (Files{{u"C:\\x", 1}, {u"C:\\y", 1}, {u"C:\\z", 1}}));
    create(u"w");  // and it watches again
    ASSERT_TRUE(eventually([&] { return restored->pendingCount() == 1; }));
}

TEST_F(ChangeTrackerTest, AForeignOrDamagedStateFileIsNotResumed) {
    struct Case {
        const char16_t* tag;
        uint32_t count;
        std::vector<std::pair<WString, int32_t>> entries;
    };
    const Case cases[] = {
        {u"VCHANGEMAX", 0, {}},          // another tag
        {u"VCHANGEMAN", 20002, {}},      // a count past the limit
        {u"VCHANGEMAN", 1, {{u"f", 7}}},  // a flag that is no flag
        {u"VCHANGEMAN", 2, {{u"f", 1}}},  // cut short
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        platform::StateFileWriter w;
        ASSERT_TRUE(w.open(base + u"_manual"));
        w.writeWString(c.tag);
        w.writeBool(true);
        w.writeU32(c.count);
        for (const auto& e : c.entries) w.writeWString(e.first), w.writeI32(e.second);
        ASSERT_TRUE(w.commit());
        auto tracker = makeTracker();
        EXPECT_FALSE(tracker->resumeTracking());
        EXPECT_EQ(tracker->pollChanges(), 2);
        EXPECT_EQ(tracker->pendingCount(), 0u);
    }
}

}  // namespace
