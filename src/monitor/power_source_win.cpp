// Windows only.
#include "platform/win32_types.h"
#include "monitor/power_source.h"

namespace monitor {

namespace {

class SystemPower : public PowerSource {
public:
    bool read(PowerStatus& status) override {
        SYSTEM_POWER_STATUS s;
        if (!GetSystemPowerStatus(&s)) return false;
        status.acLineStatus = s.ACLineStatus;
        status.batteryFlag = s.BatteryFlag;
        return true;
    }
};

}  // namespace

std::shared_ptr<PowerSource> systemPowerSource() {
    static const std::shared_ptr<PowerSource> instance = std::make_shared<SystemPower>();
    return instance;
}

}  // namespace monitor
