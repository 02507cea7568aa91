// The resume info file and the stored volume modes.
#include <gtest/gtest.h>

#include "config/product_key.h"
#include "config/registry.h"
#include "engine/resume_info.h"
#include "engine/volume_mode.h"
#include "support/config_test_registry.h"
#include "support/dump_samples.h"
#include "support/engine_state_support.h"
#include "support/temp_dir.h"
#include "volume/dfrg_context.h"

using namespace enginetest;

namespace {

class ResumeInfoTest : public ::testing::Test {
protected:
    ResumeInfoTest() {
        for (char16_t letter : {u'C', u'D'})
            contexts.push_back(std::make_unique<CDfrgContext>(
                std::make_unique<CSimulatedVolume>(makeCleanVolume(letter), nullptr, [](uint32_t) {}),
                static_cast<int32_t>(contexts.size()), CDfrgVolumeSettings()));
    }
    // Version, path, counters 1..6, then the rest.
    DumpBytes head(uint32_t version = kResumeInfoVersion) {
        DumpBytes b;
        b.u32(version).units(u"C:\\a\\b");
        for (uint64_t i = 1; i <= 6; ++i) b.u64(i);
        return b;
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

    TempDir dir;
    WString path = platform::utf8ToUtf16(dir.file("resumeInfo"));
    CContextList contexts;
};

TEST_F(ResumeInfoTest, FieldsGoInTheirPlacesAndComeBack) {
    CPassState sample;
    sample.resumePath = u"C:\\x";
    sample.counters = CPassCounters{1, 2, 3, 4, 5, 6};
    sample.retryOverflow = true;
    sample.retryFiles = {u"C:\\r1", u"C:\\r2"};
    contexts[0]->setPassCount(3);
    contexts[0]->setPanicPassCount(1);
    ASSERT_TRUE(writeResumeInfo(path, sample, contexts));
    DumpBytes expected;
    expected.u32(3).units(u"C:\\x").u64(1).u64(2).u64(3).u64(4).u64(5).u64(6);
    expected.u8(1).u32(2).units(u"C:\\r1").units(u"C:\\r2");
    expected.u32(2).u32(u'C').u32(3).u32(1).u32(u'D').u32(~0u).u32(~0u);
    EXPECT_EQ(readWholeFile(dir.file("resumeInfo")), expected.bytes());

    // Read back and written again, every field lands where it was.
    setCounters(9);
    CPassState read;
    ASSERT_TRUE(readResumeInfo(path, read, contexts));
    EXPECT_EQ(counters(), (std::vector<int32_t>{3, 1, -1, -1}));
    ASSERT_TRUE(writeResumeInfo(path, read, contexts));
    EXPECT_EQ(readWholeFile(dir.file("resumeInfo")), expected.bytes());
}

TEST_F(ResumeInfoTest, AnythingButAWholeFileOfTheVersionClearsTheState) {
    // A record of a drive without a context is dropped.
    auto good = [&](uint32_t version) {
        return head(version).u8(0).u32(1).units(u"C:\\r").u32(2).u32(u'C').u32(4).u32(0).u32(u'Q').u32(4).u32(0);
    };
    const std::string damaged[] = {
        good(2).bytes(),
        head().u8(0).u32(2).units(u"C:\\r").u32(10).raw(std::string("C\0:\0", 4)).bytes(),  // cut in a string
        head().u8(0).u32(1001).bytes(),  // more retry files than the list holds
        head().u8(0).u32(0).bytes(),                    // no volume count
        head().u8(0).u32(0).u32(1).u32(u'C').bytes(),  // a record cut short
    };
    for (const std::string& bytes : damaged) {
        writeWholeFile(dir.file("resumeInfo"), bytes);
        setCounters(5);
        CPassState s;
        s.resumePath = u"C:\\x";
        s.counters.processed = 3;
        s.retryOverflow = true;
        s.retryFiles = {u"C:\\r1"};
        EXPECT_FALSE(readResumeInfo(path, s, contexts));
        EXPECT_TRUE(s.resumePath.empty());
        EXPECT_EQ(s.counters.processed, 0u);
        EXPECT_TRUE(s.retryFiles.empty());
        EXPECT_FALSE(s.retryOverflow);
        EXPECT_EQ(counters(), std::vector<int32_t>(4, -1));
    }
    writeWholeFile(dir.file("resumeInfo"), good(kResumeInfoVersion).bytes());
    CPassState s;
    ASSERT_TRUE(readResumeInfo(path, s, contexts));
    EXPECT_EQ(s.retryFiles, std::vector<WString>{u"C:\\r"});
    EXPECT_EQ(counters(), (std::vector<int32_t>{4, 0, -1, -1}));
}

TEST(VolumeModeTest, ModesReadAsScanUntilWrittenAndAnOlderLayoutIsForgottenOnce) {
    ScopedTestRegistry registry;
    CRegistry root;
    CRegistryKey key;
    ASSERT_TRUE(root.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, true, key));
    double age = -1;
    EXPECT_EQ(readVolumeMode(u'C', &age), 0);
    EXPECT_EQ(age, 0.0);
    // Without its time a mode has no age, so it is never reset for age.
    key.setDword(WString(u"volumeMode_C"), 1);
    EXPECT_EQ(readVolumeMode(u'C', &age), 1);
    EXPECT_EQ(age, 0.0);

    // An older layout is forgotten once, whatever the case of its names.
    key.setQword(WString(u"volumeModeTime_C"), 5);
    key.setDword(WString(u"VOLUMEMODE_E"), 1);
    key.setDword(WString(u"volumeModeX"), 7);
    key.setDword("volumeModeVersion", 0);
    checkVolumeModeVersion();
    EXPECT_EQ(rawValue(key, u"volumeModeVersion"), dwordValue(1));
    for (const char16_t* gone : {u"volumeMode_C", u"volumeModeTime_C", u"volumeMode_E"})
        EXPECT_EQ(rawValue(key, gone), "");
    EXPECT_EQ(rawValue(key, u"volumeModeX"), dwordValue(7));
    writeVolumeMode(u'C', 1);
    checkVolumeModeVersion();
    EXPECT_EQ(readVolumeMode(u'C'), 1);
}

}  // namespace
