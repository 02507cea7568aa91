// Linux only.
#include "monitor/power_supply_files.h"

namespace monitor {

std::shared_ptr<PowerSource> systemPowerSource() {
    static const std::shared_ptr<PowerSource> instance = makeSysfsPowerSource("/sys/class/power_supply");
    return instance;
}

}  // namespace monitor
