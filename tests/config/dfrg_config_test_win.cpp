// Under Wine: the first load against the real registry and the real drives (C: and Z: are fixed
// drives of every prefix).
#include <gtest/gtest.h>

#include "config/dfrg_config.h"
#include "config/product_key.h"
#include "sim/provider_selection.h"
#include "support/config_test_registry.h"

TEST(DfrgConfigWindowsTest, FirstLoadListsTheRealFixedDrives) {
    ScopedTestRegistry test;
    overrideVolumeProvider(nullptr);
    {
        CDfrgConfig config;
        EXPECT_EQ('C', config.getEnabledVolume(0));
    }
    CRegistry registry;
    CRegistryKey settings;
    ASSERT_TRUE(registry.openKey(productKeyPath() + "\\settings", kRegKeyRead, nullptr, false, settings));
    std::map<std::string, std::string> values = dumpKeyTree(settings);
    uint32_t map = 0;
    ASSERT_TRUE(settings.queryDword("Drive Map", map, 0));
    EXPECT_EQ((1u << 2) | (1u << 25), map & ((1u << 2) | (1u << 25))) << "C: and Z: are fixed drives";
    std::shared_ptr<CVolumeProvider> drives = makeSystemVolumeProvider();
    for (char letter : {'C', 'Z'}) {
        WString label;
        drives->volumeLabel(WString{static_cast<char16_t>(letter), u':', u'\\'}, label);
        EXPECT_EQ(stringValue(label), values[std::string{letter, ':'} + "|Name"]) << letter;
        EXPECT_EQ(dwordValue(1), values[std::string{letter, ':'} + "|enabled"]) << letter;
    }
}
