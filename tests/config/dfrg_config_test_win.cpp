// Under Wine: the first load against the real registry and the real drives (C: and Z: are fixed
// drives of every prefix).
#include <gtest/gtest.h>

#include "config/dfrg_config.h"
#include "config/product_key.h"
#include "support/config_test_registry.h"
#include "volume/provider_selection.h"

namespace {

TEST(DfrgConfigWindowsTest, FirstLoadListsTheRealFixedDrives) {
    ScopedTestRegistry test;
    overrideVolumeProvider(nullptr);
    std::shared_ptr<CVolumeProvider> drives = makeSystemVolumeProvider();

    std::map<std::string, std::string> expected = {
        {"|doRunInBatteryMode", dwordValue(0)},  {"|enablePauseReasonLog", dwordValue(0)},
        {"|MaxClusterMoveCount", dwordValue(1024)}, {"|MaxExtentListSize", dwordValue(1048576)},
        {"|NearByWatchListDist", dwordValue(1200)}, {"|DoMoveLeft", dwordValue(0)},
        {"|DoMoveBetterPlace", dwordValue(1)},
    };
    uint32_t map = 0;
    uint32_t present = drives->logicalDrives();
    for (int n = 1; n < 26; ++n) {
        WString root{static_cast<char16_t>(u'A' + n), u':', u'\\'};
        if (!(present & (1u << n)) || drives->driveType(root) != CVolumeProvider::kDriveFixed) continue;
        map |= 1u << n;
        WString label;
        drives->volumeLabel(root, label);
        std::string key{static_cast<char>('A' + n), ':'};
        expected[key + "|Name"] = stringValue(label);
        expected[key + "|enabled"] = dwordValue(1);
    }
    expected["|Drive Map"] = dwordValue(map);
    EXPECT_EQ((1u << 2) | (1u << 25), map & ((1u << 2) | (1u << 25))) << "C: and Z: are fixed drives";

    {
        CDfrgConfig config;
        EXPECT_EQ('C', config.getEnabledVolume(0));
    }
    CRegistry registry;
    CRegistryKey settings;
    ASSERT_TRUE(registry.openKey(productKeyPath() + "\\settings", kRegKeyRead, nullptr, false, settings));
    EXPECT_EQ(expected, dumpKeyTree(settings));
}

}  // namespace
