// The resume info file and the stored volume modes.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "config/product_key.h"
#include "config/registry.h"
#include "engine/resume_info.h"
#include "engine/volume_mode.h"
#include "platform/clock.h"
#include "platform/state_file.h"
#include "support/config_test_registry.h"
#include "support/engine_state_support.h"
#include "support/volume_temp_dir.h"
#include "volume/dfrg_context.h"
#include "volume/simulated_volume.h"

using namespace smarttest;

namespace {

std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ResumeInfoTest : public ::testing::Test {
protected:
    ResumeInfoTest() {
        for (char16_t letter : {u'C', u'D'}) {
            auto volume = makeCleanVolume(letter);
            auto simulated = std::make_unique<CSimulatedVolume>(volume, nullptr, [](uint32_t) {});
            CDfrgVolumeSettings settings;
            settings.stateDirectory = platform::utf8ToUtf16(dir.path().u8string()) + u"/";
            contexts.push_back(std::make_unique<CDfrgContext>(std::move(simulated), static_cast<int32_t>(contexts.size()), settings));
        }
    }
    CPassState sample() const {
        CPassState s;
        s.resumePath = u"C:\\a\\b";
        s.counters.defragged = 1;
        s.counters.nonDefraggable = 2;
        s.counters.nonDefraggablePureSpace = 3;
        s.counters.errors = 4;
        s.counters.moved = 5;
        s.counters.processed = 6;
        s.retryOverflow = true;
        s.retryFiles = {u"C:\\x", u"C:\\y"};
        return s;
    }
    // A file with the given version, a path, counters 1..6, and then what `tail` writes.
    void writeRaw(int32_t version, const std::function<void(platform::StateFileWriter&)>& tail) {
        platform::StateFileWriter w;
        ASSERT_TRUE(w.open(path));
        w.writeI32(version);
        w.writeWString(u"C:\\a\\b");
        for (uint64_t i = 1; i <= 6; ++i) w.writeU64(i);
        tail(w);
        ASSERT_TRUE(w.commit());
    }
    void expectCleared(const CPassState& s) {
        EXPECT_TRUE(s.resumePath.empty());
        EXPECT_EQ(s.counters.processed, 0u);
        EXPECT_EQ(s.counters.defragged, 0u);
        EXPECT_TRUE(s.retryFiles.empty());
        EXPECT_FALSE(s.retryOverflow);
        for (const auto& c : contexts) {
            EXPECT_EQ(c->passCount(), -1);
            EXPECT_EQ(c->panicPassCount(), -1);
        }
    }
    void setCounters(int32_t c, int32_t cPanic, int32_t d, int32_t dPanic) {
        contexts[0]->setPassCount(c);
        contexts[0]->setPanicPassCount(cPanic);
        contexts[1]->setPassCount(d);
        contexts[1]->setPanicPassCount(dPanic);
    }

    voltest::TempDir dir{"resume"};
    WString path = platform::utf8ToUtf16((dir.path() / "resumeInfo").u8string());
    CContextList contexts;
};

TEST_F(ResumeInfoTest, WrittenFieldsComeBackInTheirPlaces) {
    setCounters(3, 1, 0, -1);
    ASSERT_TRUE(writeResumeInfo(path, sample(), contexts));

    StoredResumeInfo stored = readStoredResumeInfo((dir.path() / "resumeInfo").u8string());
    ASSERT_TRUE(stored.whole);
    EXPECT_EQ(stored.version, 3);
    EXPECT_EQ(stored.resumePath, u"C:\\a\\b");
    EXPECT_EQ(stored.counters.defragged, 1u);
    EXPECT_EQ(stored.counters.nonDefraggablePureSpace, 3u);
    EXPECT_EQ(stored.counters.processed, 6u);
    EXPECT_TRUE(stored.overflow);
    EXPECT_EQ(stored.retryFiles, (std::vector<WString>{u"C:\\x", u"C:\\y"}));
    ASSERT_EQ(stored.volumes.size(), 2u);
    EXPECT_EQ(stored.volumes[0].letter, uint32_t(u'C'));
    EXPECT_EQ(stored.volumes[0].passCount, 3);
    EXPECT_EQ(stored.volumes[0].panicPassCount, 1);
    EXPECT_EQ(stored.volumes[1].letter, uint32_t(u'D'));
    EXPECT_EQ(stored.volumes[1].panicPassCount, -1);

    setCounters(9, 9, 9, 9);
    CPassState read;
    ASSERT_TRUE(readResumeInfo(path, read, contexts));
    const CPassState expected = sample();
    EXPECT_EQ(read.resumePath, expected.resumePath);
    EXPECT_EQ(read.counters.errors, 4u);
    EXPECT_EQ(read.counters.moved, 5u);
    EXPECT_EQ(read.counters.nonDefraggable, 2u);
    EXPECT_TRUE(read.retryOverflow);
    EXPECT_EQ(read.retryFiles, expected.retryFiles);
    EXPECT_EQ(contexts[0]->passCount(), 3);
    EXPECT_EQ(contexts[0]->panicPassCount(), 1);
    EXPECT_EQ(contexts[1]->passCount(), 0);
    EXPECT_EQ(contexts[1]->panicPassCount(), -1);
}

TEST_F(ResumeInfoTest, APathIsItsCountFollowedByItsUnits) {
    CPassState s;
    s.resumePath = u"C:\\x";
    ASSERT_TRUE(writeResumeInfo(path, s, contexts));
    const std::string bytes = fileBytes(dir.path() / "resumeInfo");
    ASSERT_GE(bytes.size(), 16u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x03\0\0\0", 4));
    EXPECT_EQ(bytes.substr(4, 12), std::string("\x04\0\0\0C\0:\0\\\0x\0", 12));
    // Then six counters, the flag, the retry count, the volume count and two records.
    EXPECT_EQ(bytes.size(), 16u + 48 + 1 + 4 + 4 + 2 * 12);
}

TEST_F(ResumeInfoTest, AnythingButAWholeFileOfTheVersionClearsTheState) {
    struct Case {
        const char* what;
        int32_t version;
        std::function<void(platform::StateFileWriter&)> tail;
    };
    auto good = [](platform::StateFileWriter& w) {
        w.writeBool(false);
        w.writeI32(1);
        w.writeWString(u"C:\\r");
        w.writeI32(1);
        w.writeU32(u'C');
        w.writeI32(4);
        w.writeI32(0);
    };
    const std::vector<Case> cases{
        {"version 2", 2, good},
        {"cut off in the retry strings",
         kResumeInfoVersion,
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(2);
             w.writeWString(u"C:\\r");
             w.writeU32(10);
             w.writeBytes("C\0:\0", 4);
         }},
        {"more retry files than the list holds",
         kResumeInfoVersion,
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(1001);
         }},
        {"a flag byte that is no flag",
         kResumeInfoVersion,
         [](platform::StateFileWriter& w) {
             w.writeBytes("\x02", 1);
             w.writeI32(0);
             w.writeI32(0);
         }},
        {"a negative volume count",
         kResumeInfoVersion,
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(0);
             w.writeI32(-1);
         }},
        {"a record cut short",
         kResumeInfoVersion,
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(0);
             w.writeI32(1);
             w.writeU32(u'C');
             w.writeI32(4);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeRaw(c.version, c.tail);
        setCounters(5, 5, 5, 5);
        CPassState s = sample();
        EXPECT_FALSE(readResumeInfo(path, s, contexts));
        expectCleared(s);
    }
    // The same file with version 3 is read.
    writeRaw(kResumeInfoVersion, good);
    CPassState s;
    ASSERT_TRUE(readResumeInfo(path, s, contexts));
    EXPECT_EQ(s.resumePath, u"C:\\a\\b");
    EXPECT_EQ(s.retryFiles, std::vector<WString>{u"C:\\r"});
    EXPECT_EQ(contexts[0]->passCount(), 4);
    EXPECT_EQ(contexts[1]->passCount(), -1);

    // A path longer than the system handles is damage, and so is a missing file.
    {
        platform::StateFileWriter w;
        ASSERT_TRUE(w.open(path));
        w.writeI32(kResumeInfoVersion);
        w.writeWString(WString(40000, u'x'));
        ASSERT_TRUE(w.commit());
    }
    s = sample();
    EXPECT_FALSE(readResumeInfo(path, s, contexts));
    expectCleared(s);
    std::filesystem::remove(dir.path() / "resumeInfo");
    s = sample();
    EXPECT_FALSE(readResumeInfo(path, s, contexts));
    expectCleared(s);
}

TEST_F(ResumeInfoTest, RecordsOfDrivesWithoutAContextAreDropped) {
    writeRaw(kResumeInfoVersion, [](platform::StateFileWriter& w) {
        w.writeBool(false);
        w.writeI32(0);
        w.writeI32(1);
        w.writeU32(u'Q');
        w.writeI32(7);
        w.writeI32(2);
    });
    setCounters(5, 5, 5, 5);
    CPassState s;
    EXPECT_TRUE(readResumeInfo(path, s, contexts));
    EXPECT_EQ(s.counters.processed, 6u);
    for (const auto& c : contexts) {
        EXPECT_EQ(c->passCount(), -1);
        EXPECT_EQ(c->panicPassCount(), -1);
    }
}

class VolumeModeTest : public ::testing::Test {
protected:
    VolumeModeTest() { EXPECT_TRUE(root.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, true, key)); }
    ~VolumeModeTest() override { key.close(); }

    ScopedTestRegistry registry;
    CRegistry root;
    CRegistryKey key;
};

TEST_F(VolumeModeTest, ModesReadAsScanUntilWrittenAndCarryTheirAge) {
    double age = -1;
    EXPECT_EQ(readVolumeMode(u'C', &age), 0);
    EXPECT_EQ(age, 0.0);
    // A mode without its time has no age, so it is never reset for age.
    key.setDword(WString(u"volumeMode_C"), 1);
    EXPECT_EQ(readVolumeMode(u'C', &age), 1);
    EXPECT_EQ(age, 0.0);

    const uint64_t before = platform::fileTimeNow();
    writeVolumeMode(u'D', 1);
    EXPECT_EQ(rawValue(key, u"volumeMode_D"), dwordValue(1));
    uint64_t stamp = 0;
    ASSERT_TRUE(key.queryQword(WString(u"volumeModeTime_D"), stamp, 0));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, platform::fileTimeNow());

    // 3.5 days ago.
    key.setQword(WString(u"volumeModeTime_D"), platform::fileTimeNow() - 3024000000000ull);
    EXPECT_EQ(readVolumeMode(u'D', &age), 1);
    EXPECT_NEAR(age, 3.5, 0.001);
}

TEST_F(VolumeModeTest, AnOlderLayoutIsForgottenOnce) {
    key.setDword(WString(u"volumeMode_C"), 1);
    key.setQword(WString(u"volumeModeTime_C"), 5);
    key.setDword(WString(u"VOLUMEMODE_D"), 1);
    key.setDword(WString(u"volumeModeX"), 7);  // not of the layout
    key.setDword(WString(u"other"), 3);
    key.setDword("volumeModeVersion", 0);
    checkVolumeModeVersion();
    EXPECT_EQ(rawValue(key, u"volumeModeVersion"), dwordValue(1));
    EXPECT_EQ(readVolumeMode(u'C'), 0);
    EXPECT_EQ(rawValue(key, u"volumeModeTime_C"), "");
    EXPECT_EQ(rawValue(key, u"volumeMode_D"), "");
    EXPECT_EQ(rawValue(key, u"volumeModeX"), dwordValue(7));
    EXPECT_EQ(rawValue(key, u"other"), dwordValue(3));

    // With the version in place, nothing is deleted.
    writeVolumeMode(u'C', 1);
    checkVolumeModeVersion();
    EXPECT_EQ(readVolumeMode(u'C'), 1);
}

}  // namespace
