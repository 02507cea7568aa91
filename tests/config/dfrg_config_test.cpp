#include "config/dfrg_config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/product_key.h"
#include "platform/dfrg_exception.h"
#include "volume/provider_selection.h"
#include "support/config_recording_store.h"
#include "support/config_test_registry.h"
#include "support/fake_volume_provider.h"

namespace {

class DfrgConfigTest : public testing::Test {
protected:
    void SetUp() override { overrideVolumeProvider(provider_); }

    CRegistryKey& settings() {
        if (!settings_.isValid())
            registry_.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, false, settings_);
        return settings_;
    }
    void addFixed(const char* letters) {
        for (const char* l = letters; *l; ++l) provider_->addDrive(*l, CVolumeProvider::kDriveFixed, u"L");
    }
    static void expectLoadFails() {
        try {
            CDfrgConfig config;
            ADD_FAILURE() << "loaded";
        } catch (const CDfrgException& e) {
            EXPECT_EQ(ErrorFileNotFound, e.code());
            EXPECT_EQ("Couldn't load config from Registry", e.message());
        }
    }

    ScopedTestRegistry test_;
    std::shared_ptr<FakeVolumeProvider> provider_ = std::make_shared<FakeVolumeProvider>();
    CRegistry registry_;
    CRegistryKey settings_;
};

TEST_F(DfrgConfigTest, FirstLoadCreatesVolumeKeysDriveMapAndDefaultsOnly) {
    provider_->addDrive('A', CVolumeProvider::kDriveFixed, u"floppy-like fixed");
    provider_->addDrive('C', CVolumeProvider::kDriveFixed, u"System");
    provider_->addDrive('D', FakeVolumeProvider::kDriveCdRom, u"Disc");
    provider_->addDrive('E', CVolumeProvider::kDriveFixed, u"unreadable", false);
    provider_->addDrive('F', FakeVolumeProvider::kDriveRemote, u"Share");
    provider_->addDrive('Z', CVolumeProvider::kDriveFixed, u"Data \u00c4");
    CDfrgConfig config;

    const std::map<std::string, std::string> expected = {
        {"|Drive Map", dwordValue((1u << 2) | (1u << 4) | (1u << 25))},
        {"|doRunInBatteryMode", dwordValue(0)},      {"|enablePauseReasonLog", dwordValue(0)},
        {"|MaxClusterMoveCount", dwordValue(1024)},  {"|MaxExtentListSize", dwordValue(1048576)},
        {"|NearByWatchListDist", dwordValue(1200)},  {"|DoMoveLeft", dwordValue(0)},
        {"|DoMoveBetterPlace", dwordValue(1)},       {"C:|Name", stringValue(u"System")},
        {"C:|enabled", dwordValue(1)},               {"E:|Name", stringValue(u"")},
        {"E:|enabled", dwordValue(1)},               {"Z:|Name", stringValue(u"Data \u00c4")},
        {"Z:|enabled", dwordValue(1)},
    };
    EXPECT_EQ(expected, dumpKeyTree(settings()));
    CRegistryKey product;
    registry_.openKey(productKeyPath(), kRegKeyRead, nullptr, false, product);
    EXPECT_EQ(expected.size(), dumpKeyTree(product).size()) << "nothing else below the product key";

    EXPECT_TRUE(std::filesystem::is_directory(test_.scratchDirectory() + "/state"));
}

TEST_F(DfrgConfigTest, LaterLoadsOnlyRewriteTheDriveMapAndEnabledVolumesFollowTheKeys) {
    addFixed("CDE");
    { CDfrgConfig first; }
    const std::map<std::string, std::string> before = dumpKeyTree(settings());
    auto recorder = std::make_shared<RecordingRegistryStore>(systemRegistryStore());
    overrideRegistryStore(recorder);
    provider_->addDrive('D', CVolumeProvider::kDriveFixed, u"Data relabelled");
    { CDfrgConfig second; }
    overrideRegistryStore(nullptr);
    EXPECT_EQ(std::vector<std::string>{"set Drive Map"}, recorder->changes);
    EXPECT_EQ(before, dumpKeyTree(settings())) << "a later label change does not update \"Name\"";

    // Disabled keys are skipped and stay disabled across loads; a missing value counts as enabled.
    CRegistryKey d, e, odd;
    ASSERT_TRUE(settings().openSubKey("D:", kRegKeyAllAccess, false, d) && d.setDword("enabled", 0));
    ASSERT_TRUE(settings().openSubKey("E:", kRegKeyAllAccess, false, e) && e.deleteValue(u"enabled"));
    provider_->addDrive('D', FakeVolumeProvider::kDriveCdRom, u"");  // no longer fixed: leaves the map, keeps its key
    CDfrgConfig config;
    EXPECT_EQ(dwordValue((1u << 2) | (1u << 4)), rawValue(settings(), u"Drive Map"));
    EXPECT_EQ((std::vector<std::string>{"C:", "D:", "E:"}), subKeyNames(settings()));
    EXPECT_EQ("", rawValue(e, u"enabled"));
    const char expected[] = {'C', 'E', 0};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(expected[i], config.getEnabledVolume(i)) << i;
    EXPECT_EQ(0, config.getEnabledVolume(-1));
    // Live: a change by the user-interface program applies at once, whatever the key's name.
    ASSERT_TRUE(d.setDword("enabled", 7));
    ASSERT_TRUE(settings().openSubKey("Q-not-a-drive", kRegKeyAllAccess, true, odd));
    EXPECT_EQ('D', config.getEnabledVolume(1));
    EXPECT_EQ('Q', config.getEnabledVolume(3));
}

TEST_F(DfrgConfigTest, WrongTypesAreReplacedOrReadAsMissingAndOnlyEngineLimitsAreKeptFromTheLoad) {
    CRegistryKey s;
    ASSERT_TRUE(registry_.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, true, s));
    ASSERT_TRUE(s.setString(u"DoMoveBetterPlace", u"1") && s.setQword("MaxClusterMoveCount", 7));
    ASSERT_TRUE(s.setString(u"doRunWhilePrinting", u"1"));
    ASSERT_TRUE(s.setDword("MaxExtentListSize", 4096) && s.setDword("DoMoveLeft", 2));
    CDfrgConfig config;
    EXPECT_TRUE(config.doMoveBetterPlace());
    EXPECT_EQ(dwordValue(1024), rawValue(s, u"MaxClusterMoveCount"));
    EXPECT_EQ(4096u, config.maxExtentListSize());
    EXPECT_FALSE(config.doMoveLeft()) << "only exactly 1 means on";
    EXPECT_EQ(dwordValue(2), rawValue(s, u"DoMoveLeft"));
    // Values that are never written back keep their wrong type and read as their default.
    EXPECT_FALSE(config.doRunWhilePrinting());
    EXPECT_EQ(stringValue(u"1"), rawValue(s, u"doRunWhilePrinting"));
    ASSERT_TRUE(s.setDword("DoMoveBetterPlace", 0) && s.setDword("MaxExtentListSize", 8));
    EXPECT_TRUE(config.doMoveBetterPlace());
    EXPECT_EQ(4096u, config.maxExtentListSize());

    // The live flags follow their own truth rules.
    ASSERT_TRUE(s.setDword("doRunWhilePrinting", 2) && s.setDword("doRunInBatteryMode", 2));
    EXPECT_FALSE(config.doRunWhilePrinting());
    EXPECT_TRUE(config.doRunInBatteryMode());
    ASSERT_TRUE(s.setDword("doRunWhilePrinting", 1) && s.setDword("enablePauseReasonLog", 3));
    ASSERT_TRUE(s.setDword("dumpType", 2));
    EXPECT_TRUE(config.doRunWhilePrinting());
    EXPECT_TRUE(config.enablePauseReasonLog());
    EXPECT_EQ(2u, config.dumpType());
    ASSERT_TRUE(s.setString(u"makeDump", u"1") && s.setDword("dumpPath", 1));
    EXPECT_FALSE(config.makeDump());
    EXPECT_EQ(u"c:\\volumeDump.vdf", config.dumpPath());
}

TEST_F(DfrgConfigTest, CurrentConfigIsTheLatestLoadedAndAFailedLoadLeavesItAlone) {
    auto first = std::make_unique<CDfrgConfig>();
    {
        CDfrgConfig second;
        first.reset();
        EXPECT_EQ(&second, currentConfig()) << "an earlier one that goes leaves the latest current";
    }
    EXPECT_EQ(nullptr, currentConfig());

    // Neither an unopenable settings key nor a volume key that cannot be made loads.
    addFixed("CE");
    auto failing = std::make_shared<RecordingRegistryStore>(systemRegistryStore());
    failing->failCreateOf = "E:";
    overrideRegistryStore(failing);
    expectLoadFails();
    EXPECT_EQ(nullptr, currentConfig());
    overrideRegistryStore(nullptr);
    CDfrgConfig kept;
    setProductKeyPath(test_.rootPath() + "\\\\unopenable");
    expectLoadFails();
    EXPECT_EQ(&kept, currentConfig());
}

}  // namespace
