#include <atomic>

#include "monitor/sys_info.h"
#include "monitor/user_input.h"
#include "platform/clock.h"
#include "service/pause_policy.h"

namespace {

std::atomic<bool> g_sessionZero{false};

class SystemUserActivity : public UserActivity {
public:
    bool lastInputTime(uint32_t& tick) override { return !g_sessionZero && queryLastInputTime(tick); }
    bool cursorPosition(int32_t& x, int32_t& y) override { return !g_sessionZero && queryCursorPosition(x, y); }
    bool isOnBattery() override { return SysInfo::isOnBattery(); }
    bool hasFullscreenWindow() override {
        return !g_sessionZero && SysInfo::getFullscreenWindow() != monitor::WindowId();
    }
    bool isScreenSaverRunning() override { return !g_sessionZero && SysInfo::isScreenSaverRunning(); }
    bool sessionView(agent::SessionView& view) override {
        return agent::CAgentReports::process().takeSessionView(platform::tickCount(), view);
    }
    bool peekSessionView(agent::SessionView& view) override {
        return agent::CAgentReports::process().peekSessionView(platform::tickCount(), view);
    }
};

}  // namespace

UserActivity& systemUserActivity() {
    static SystemUserActivity activity;
    return activity;
}

void setSessionZeroProbes(bool on) { g_sessionZero = on; }
