// Windows only.
#include "agent/session_report.h"

#include "monitor/sys_info.h"
#include "monitor/user_input.h"
#include "monitor/window_system.h"

namespace agent {

Report CSessionObserver::observe() {
    Report r;
    r.sessionId = sessionId_;
    r.sequence = ++sequence_;
    r.lastInputKnown = queryLastInputTime(r.lastInputTick);
    r.cursorKnown = queryCursorPosition(r.cursorX, r.cursorY);
    monitor::WindowSystem& windows = *monitor::systemWindowSystem();
    if (monitor::WindowId window = SysInfo::getFullscreenWindow(windows)) {
        r.fullscreen = true;
        windows.windowProcessId(window, r.fullscreenProcessId);
    }
    r.screenSaver = SysInfo::isScreenSaverRunning(windows);
    if (sequence_ % 5 == 1) processes_ = SysInfo::windowedProcesses(windows);
    r.windowedProcesses = processes_;
    return r;
}

}  // namespace agent
