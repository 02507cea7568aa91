// The power supplies that Linux lists under /sys/class/power_supply, and what they mean in the
// terms of the Windows power status (AC line status, battery flag), the stand-in for
// GetSystemPowerStatus.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "monitor/power_source.h"

namespace monitor {

struct PowerSupplyInfo {
    std::string type;    // "Mains", "USB...", "Battery", "UPS", ...
    std::string scope;   // "Device" for the batteries of peripherals
    std::string status;  // batteries: "Charging", "Discharging", "Full", ...
    int online = -1;     // line supplies: 1 / 0; -1 unknown
    int present = -1;    // batteries: 1 / 0; -1 unknown
    int capacity = -1;   // batteries: percent; -1 unknown
};

// A line supply online gives AC 1, all line supplies offline AC 0; without any line supply the
// system batteries' status decides (discharging: 0, charging or full: 1), else 255. Without a
// system battery the flag is 128; otherwise it follows the first battery's capacity (high above
// 66 %, low below 33 %, critical below 5 %) with the charging bit.
PowerStatus powerStatusFromSupplies(const std::vector<PowerSupplyInfo>& supplies);

// Reads every supply below `root` (one directory each); false when `root` cannot be listed.
bool readPowerSupplies(const std::string& root, std::vector<PowerSupplyInfo>& supplies);

// A power source reading the supplies below `root`.
std::shared_ptr<PowerSource> makeSysfsPowerSource(const std::string& root);

}  // namespace monitor
