#include "settings/settings_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "config/product_key.h"
#include "settings/setting_table.h"
#include "support/config_test_registry.h"

namespace {

struct ToolRun {
    int code;
    std::string out, err;
};
ToolRun settingsTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int code = settings::runSettings(args, out, err);
    return {code, out.str(), err.str()};
}

class SettingsCommandTest : public testing::Test {
protected:
    // The settings key and the volume key C:, as the service makes them at its first start.
    void SetUp() override {
        ASSERT_TRUE(registry_.openKey(productKeyPath() + "\\settings\\C:", kRegKeyAllAccess, nullptr, true, c_));
    }
    std::string raw(const std::string& keyPath, const std::string& name) {
        CRegistryKey key;
        registry_.openKey(productKeyPath() + "\\settings" + keyPath, kRegKeyRead, nullptr, false, key);
        return rawValue(key, platform::utf8ToUtf16(name));
    }
    ScopedTestRegistry test_;
    CRegistry registry_;
    CRegistryKey c_;
};

TEST_F(SettingsCommandTest, EverySettingRoundTripsAsTheRegistryTypeAndUnsetRestoresTheDefault) {
    for (const settings::SettingInfo& s : settings::settingTable()) {
        if (!s.writable) continue;
        SCOPED_TRACE(s.name);
        const bool dword = s.type == settings::SettingType::Dword;
        // A value that differs from the default, at an end of the accepted range.
        const std::string value = !dword ? "D:\\Dumps f\u00fcr \u00c4rger\\volume.vdf"
                                         : std::to_string(s.maximum != s.defaultNumber ? s.maximum : s.minimum);
        const std::string keyPath = s.scope == settings::SettingScope::Volume ? "\\C:" : "";
        auto run = [&](std::vector<std::string> a) {
            if (!keyPath.empty()) a.insert(a.begin() + 1, "c:");
            return settingsTool(a);
        };
        ASSERT_EQ(0, run({"set", s.name, value}).code);
        EXPECT_EQ(value + "\n", run({"get", s.name}).out);
        EXPECT_EQ(dword ? dwordValue(static_cast<uint32_t>(std::stoul(value))) : stringValue(platform::utf8ToUtf16(value)),
                  raw(keyPath, s.name));
        EXPECT_NE(std::string::npos, settingsTool({}).out.find(value));
        ASSERT_EQ(0, run({"unset", s.name}).code);
        EXPECT_EQ("", raw(keyPath, s.name));
        EXPECT_EQ((dword ? std::to_string(s.defaultNumber) : platform::utf16ToUtf8(s.defaultText)) + "\n",
                  run({"get", s.name}).out);
    }
}

TEST_F(SettingsCommandTest, RefusesWithAMessageAndChangesNothingButTakesHexAndAnyCase) {
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;  // in the complaint, or in the output of a run that succeeds
    } cases[] = {
        {{"set", "dumpType", "0x1"}, 0, ""},
        {{"set", "maxclustermovecount", "64"}, 0, "MaxClusterMoveCount applies from the service's next start"},
        {{"set", "noSuchSetting", "1"}, 1, "unknown setting noSuchSetting"},
        {{"set", "makeDump", "yes"}, 1, "makeDump takes a number, not \"yes\""},
        {{"set", "makeDump", "2"}, 1, "makeDump must be from 0 to 1, not 2"},
        {{"set", "MaxExtentListSize", "0"}, 1, "must be from 1 to"},
        {{"set", "MaxClusterMoveCount", "4294967296"}, 1, "must be from 0 to 4294967295"},
        {{"set", "dumpPath", ""}, 1, "dumpPath must not be empty"},
        {{"set", "Drive Map", "3"}, 1, "written by the service"},
        {{"set", "C:", "makeDump", "1"}, 1, "makeDump is a global setting"},
        {{"set", "enabled", "0"}, 1, "enabled is a setting of a volume"},
        {{"set", "Q:", "enabled", "0"}, 1, "no volume Q:"},
        {{"set", "makeDump"}, 2, "usage:"},
        {{"list", "extra"}, 2, "usage:"},
        {{"frobnicate"}, 2, "usage:"},
        {{"get", "x", "--help"}, 0, "usage: velkaris-settings"},
    };
    for (const auto& c : cases) {
        ToolRun r = settingsTool(c.args);
        EXPECT_EQ(c.code, r.code) << c.message;
        EXPECT_NE(std::string::npos, (c.code ? r.err : r.out).find(c.message)) << r.err << r.out;
        EXPECT_EQ("", c.code ? r.out : r.err) << c.message;
    }
    EXPECT_EQ("", raw("", "makeDump"));
    EXPECT_EQ(dwordValue(1), raw("", "dumpType"));
}

}  // namespace
