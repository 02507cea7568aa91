#include "monitor/sys_info.h"
#include "service/pause_policy.h"
#include "monitor/user_input.h"

namespace {

class SystemUserActivity : public UserActivity {
public:
    bool lastInputTime(uint32_t& tick) override { return queryLastInputTime(tick); }
    bool cursorPosition(int32_t& x, int32_t& y) override { return queryCursorPosition(x, y); }
    bool isOnBattery() override { return SysInfo::isOnBattery(); }
    bool hasFullscreenWindow() override { return SysInfo::getFullscreenWindow() != monitor::WindowId(); }
    bool isScreenSaverRunning() override { return SysInfo::isScreenSaverRunning(); }
};

}  // namespace

UserActivity& systemUserActivity() {
    static SystemUserActivity activity;
    return activity;
}
