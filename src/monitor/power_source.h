// The machine's power status: AC line status and battery flag with the values that
// GetSystemPowerStatus gives them.
#pragma once
#include <cstdint>
#include <memory>

namespace monitor {

struct PowerStatus {
    uint8_t acLineStatus = 255;  // 0 offline, 1 online, 255 unknown
    uint8_t batteryFlag = 255;   // 1 high, 2 low, 4 critical, 8 charging, 128 no battery, 255 unknown
};

class PowerSource {
public:
    virtual ~PowerSource() = default;
    // False when the status cannot be read.
    virtual bool read(PowerStatus& status) = 0;
};

// GetSystemPowerStatus on Windows; /sys/class/power_supply elsewhere.
std::shared_ptr<PowerSource> systemPowerSource();

}  // namespace monitor
