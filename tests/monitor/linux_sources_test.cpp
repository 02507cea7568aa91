// The Linux stand-ins' parsing of /proc files and of the power supplies' directory tree.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "monitor/power_supply_files.h"
#include "monitor/proc_files.h"
#include "monitor/sys_info.h"
#include "support/temp_dir.h"

namespace {

TEST(ProcFiles, StatFieldsAreCountedFromTheLastParenthesis) {
    monitor::ProcStat stat;
    ASSERT_TRUE(monitor::parseProcStat(
        "1234 (we (ird) na) me) S 1 1234 1234 34816 1234 4194560 1500 7 20 3 300 200 0 0 20 0 1 0 12345\n", stat));
    EXPECT_EQ(stat.command + stat.state, "we (ird) na) meS");
    const uint64_t fields[] = {stat.processId, stat.parentId, uint64_t(stat.terminal), stat.minorFaults,
                               stat.majorFaults, stat.userTicks, stat.systemTicks};
    EXPECT_EQ(std::vector<uint64_t>(std::begin(fields), std::end(fields)),
              (std::vector<uint64_t>{1234, 1, 34816, 1500, 20, 300, 200}));

    EXPECT_FALSE(monitor::parseProcStat("1234 (cut) S 1 1234 1234 0 1234", stat));
    EXPECT_FALSE(monitor::parseProcStat("x (a) S 1 1 1 0 1 0 1 0 1 0 1 1", stat));
    EXPECT_EQ(monitor::clockTicksTo100ns(300, 100), 30000000u);
    EXPECT_EQ(monitor::clockTicksTo100ns(1, 3), 3333333u);
}

TEST(ProcFiles, IoNeedsBothCharacterCounts) {
    monitor::ProcIo io;
    ASSERT_TRUE(monitor::parseProcIo("rchar: 4096\nwchar: 512\nsyscr: 3\nread_bytes: 0\n", io));
    EXPECT_EQ(io.readChars, 4096u);
    EXPECT_EQ(io.writeChars, 512u);
    EXPECT_FALSE(monitor::parseProcIo("rchar: 4096\nsyscr: 3\n", io));
}

class PowerSupplies : public testing::Test {
protected:
    void write(const std::string& supply, std::map<std::string, std::string> files) {
        std::filesystem::create_directories(root / supply);
        for (const auto& [file, value] : files) std::ofstream(root / supply / file) << value << "\n";
    }
    // The line status, the battery flag and whether the machine counts as on battery.
    std::string status() {
        monitor::PowerStatus s;
        EXPECT_TRUE(monitor::makeSysfsPowerSource(root.string())->read(s));
        const bool battery = SysInfo::isOnBattery(*monitor::makeSysfsPowerSource(root.string()));
        return std::to_string(s.acLineStatus) + "/" + std::to_string(s.batteryFlag) + (battery ? " battery" : "");
    }
    TempDir dir;
    std::filesystem::path root = std::filesystem::path(dir.path()) / "power";
};

TEST_F(PowerSupplies, LineSupplyAndSystemBatteryMapToThePowerStatus) {
    std::filesystem::create_directories(root);
    EXPECT_EQ(status(), "255/128");  // a machine without supplies: no battery
    // A mouse's battery does not count.
    write("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"capacity", "90"}, {"status", "Discharging"}});
    EXPECT_EQ(status(), "255/128");
    write("BAT0", {{"type", "Battery"}, {"capacity", "20"}, {"status", "Discharging"}});
    EXPECT_EQ(status(), "0/2 battery");
    write("AC", {{"type", "Mains"}, {"online", "1"}});
    write("BAT0", {{"status", "Charging"}, {"capacity", "80"}});
    EXPECT_EQ(status(), "1/9");  // high, charging
    write("AC", {{"online", "0"}});
    write("BAT0", {{"capacity", "3"}});
    EXPECT_EQ(status(), "0/12 battery");  // critical, charging
    std::filesystem::remove_all(root);
    EXPECT_FALSE(SysInfo::isOnBattery(*monitor::makeSysfsPowerSource(root.string())));  // unreadable: not on battery
}

}  // namespace
