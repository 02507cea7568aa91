// The resume info file and the stored volume modes.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "config/product_key.h"
#include "config/registry.h"
#include "engine/resume_info.h"
#include "engine/volume_mode.h"
#include "platform/clock.h"
#include "platform/state_file.h"
#include "support/config_test_registry.h"
#include "support/engine_state_support.h"
#include "support/temp_dir.h"
#include "volume/dfrg_context.h"
#include "sim/simulated_volume.h"

using namespace smarttest;

namespace {

using Tail = std::function<void(platform::StateFileWriter&)>;

class ResumeInfoTest : public ::testing::Test {
protected:
    ResumeInfoTest() {
        for (char16_t letter : {u'C', u'D'})
            contexts.push_back(std::make_unique<CDfrgContext>(
                std::make_unique<CSimulatedVolume>(makeCleanVolume(letter), nullptr, [](uint32_t) {}),
                static_cast<int32_t>(contexts.size()), CDfrgVolumeSettings()));
        sample.resumePath = u"C:\\x";
        sample.counters = CPassCounters{1, 2, 3, 4, 5, 6};
        sample.retryOverflow = true;
        sample.retryFiles = {u"C:\\r1", u"C:\\r2"};
    }
    // Version, path, counters 1..6, then the rest.
    void writeRaw(int32_t version, const Tail& tail) {
        platform::StateFileWriter w;
        ASSERT_TRUE(w.open(path));
        w.writeI32(version);
        w.writeWString(u"C:\\a\\b");
        for (uint64_t i = 1; i <= 6; ++i) w.writeU64(i);
        tail(w);
        ASSERT_TRUE(w.commit());
    }
    void setCounters(int32_t value) {
        for (auto& c : contexts) {
            c->setPassCount(value);
            c->setPanicPassCount(value);
        }
    }
    std::vector<int32_t> counters() const {
        std::vector<int32_t> out;
        for (const auto& c : contexts) out.insert(out.end(), {c->passCount(), c->panicPassCount()});
        return out;
    }

    TempDir dir{"resume"};
    WString path = platform::utf8ToUtf16((dir.path() / "resumeInfo").u8string());
    CContextList contexts;
    CPassState sample;
};

TEST_F(ResumeInfoTest, FieldsGoInTheirPlacesAndComeBack) {
    contexts[0]->setPassCount(3);
    contexts[0]->setPanicPassCount(1);
    ASSERT_TRUE(writeResumeInfo(path, sample, contexts));
    std::ifstream in(dir.path() / "resumeInfo", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Version 3, then the path of four units as its count and the units.
    EXPECT_EQ(bytes.substr(0, 16), std::string("\x03\0\0\0\x04\0\0\0C\0:\0\\\0x\0", 16));
    EXPECT_EQ(bytes.size(), 16u + 6 * 8 + 1 + 4 + 2 * 14 + 4 + 2 * 12);

    StoredResumeInfo stored = readStoredResumeInfo((dir.path() / "resumeInfo").u8string());
    ASSERT_TRUE(stored.whole);
    EXPECT_EQ(stored.counters.nonDefraggablePureSpace, 3u);
    EXPECT_EQ(stored.counters.processed, 6u);
    EXPECT_TRUE(stored.overflow);
    ASSERT_EQ(stored.volumes.size(), 2u);
    EXPECT_EQ(stored.volumes[1].letter, uint32_t(u'D'));

    setCounters(9);
    CPassState read;
    ASSERT_TRUE(readResumeInfo(path, read, contexts));
    EXPECT_EQ(read.resumePath, sample.resumePath);
    EXPECT_EQ(read.counters.errors, 4u);
    EXPECT_EQ(read.counters.moved, 5u);
    EXPECT_TRUE(read.retryOverflow);
    EXPECT_EQ(read.retryFiles, sample.retryFiles);
    EXPECT_EQ(counters(), (std::vector<int32_t>{3, 1, -1, -1}));
}

TEST_F(ResumeInfoTest, AnythingButAWholeFileOfTheVersionClearsTheState) {
    auto good = [](platform::StateFileWriter& w) {
        w.writeBool(false);
        w.writeI32(1);
        w.writeWString(u"C:\\r");
        w.writeI32(2);
        for (char16_t letter : {u'C', u'Q'}) {  // a record of a drive without a context is dropped
            w.writeU32(letter);
            w.writeI32(4);
            w.writeI32(0);
        }
    };
    const std::vector<std::pair<int32_t, Tail>> damaged{
        {2, good},
        {kResumeInfoVersion,  // cut off in the retry strings
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(2);
             w.writeWString(u"C:\\r");
             w.writeU32(10);
             w.writeBytes("C\0:\0", 4);
         }},
        {kResumeInfoVersion,  // more retry files than the list holds
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(1001);
         }},
        {kResumeInfoVersion,  // a record cut short
         [](platform::StateFileWriter& w) {
             w.writeBool(false);
             w.writeI32(0);
             w.writeI32(1);
             w.writeU32(u'C');
         }},
    };
    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        writeRaw(damaged[i].first, damaged[i].second);
        setCounters(5);
        CPassState s = sample;
        EXPECT_FALSE(readResumeInfo(path, s, contexts));
        EXPECT_TRUE(s.resumePath.empty());
        EXPECT_EQ(s.counters.processed, 0u);
        EXPECT_TRUE(s.retryFiles.empty());
        EXPECT_FALSE(s.retryOverflow);
        EXPECT_EQ(counters(), std::vector<int32_t>(4, -1));
    }
    writeRaw(kResumeInfoVersion, good);
    CPassState s;
    ASSERT_TRUE(readResumeInfo(path, s, contexts));
    EXPECT_EQ(s.retryFiles, std::vector<WString>{u"C:\\r"});
    EXPECT_EQ(counters(), (std::vector<int32_t>{4, 0, -1, -1}));
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
    // Without its time a mode has no age, so it is never reset for age.
    key.setDword(WString(u"volumeMode_C"), 1);
    EXPECT_EQ(readVolumeMode(u'C', &age), 1);
    EXPECT_EQ(age, 0.0);

    const uint64_t before = platform::fileTimeNow();
    writeVolumeMode(u'D', 1);
    EXPECT_EQ(rawValue(key, u"volumeMode_D"), dwordValue(1));
    uint64_t stamp = 0;
    ASSERT_TRUE(key.queryQword(WString(u"volumeModeTime_D"), stamp, 0));
    EXPECT_GE(stamp, before);
    key.setQword(WString(u"volumeModeTime_D"), platform::fileTimeNow() - 3024000000000ull);
    EXPECT_EQ(readVolumeMode(u'D', &age), 1);
    EXPECT_NEAR(age, 3.5, 0.001);
}

TEST_F(VolumeModeTest, AnOlderLayoutIsForgottenOnce) {
    key.setDword(WString(u"volumeMode_C"), 1);
    key.setQword(WString(u"volumeModeTime_C"), 5);
    key.setDword(WString(u"VOLUMEMODE_D"), 1);
    key.setDword(WString(u"volumeModeX"), 7);
    key.setDword("volumeModeVersion", 0);
    checkVolumeModeVersion();
    EXPECT_EQ(rawValue(key, u"volumeModeVersion"), dwordValue(1));
    EXPECT_EQ(rawValue(key, u"volumeMode_C"), "");
    EXPECT_EQ(rawValue(key, u"volumeModeTime_C"), "");
    EXPECT_EQ(rawValue(key, u"volumeMode_D"), "");
    EXPECT_EQ(rawValue(key, u"volumeModeX"), dwordValue(7));
    writeVolumeMode(u'C', 1);
    checkVolumeModeVersion();
    EXPECT_EQ(readVolumeMode(u'C'), 1);
}

}  // namespace
