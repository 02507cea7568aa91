// Windows only: input and cursor from user32; power and windows through the load monitor's probes.
#include "platform/win32_types.h"
#include "service/pause_policy.h"

namespace {

class WindowsUserActivity : public UserActivity {
public:
    bool lastInputTime(uint32_t& tick) override {
        LASTINPUTINFO info{};
        info.cbSize = sizeof info;
        if (!GetLastInputInfo(&info)) return false;
        tick = info.dwTime;
        return true;
    }
    bool cursorPosition(int32_t& x, int32_t& y) override {
        POINT p;
        if (!GetCursorPos(&p)) return false;
        x = p.x;
        y = p.y;
        return true;
    }
    bool isOnBattery() override {
        SYSTEM_POWER_STATUS s;
        return GetSystemPowerStatus(&s) && s.ACLineStatus == 0;
    }
    bool hasFullscreenWindow() override { return false; }
    bool isScreenSaverRunning() override {
        BOOL running = FALSE;
        return SystemParametersInfoW(SPI_GETSCREENSAVERRUNNING, 0, &running, 0) && running;
    }
};

}  // namespace

UserActivity& systemUserActivity() {
    static WindowsUserActivity activity;
    return activity;
}
