// Windows only: the window and monitor queries, one user32 call each.
#include "platform/win32_types.h"
#include "monitor/window_system.h"

#include <vector>

namespace monitor {

namespace {

HWND toHwnd(WindowId window) { return reinterpret_cast<HWND>(window); }
WindowId toId(HWND window) { return reinterpret_cast<WindowId>(window); }

class User32Windows : public WindowSystem {
public:
    void screenSize(int32_t& width, int32_t& height) override {
        width = GetSystemMetrics(SM_CXSCREEN);
        height = GetSystemMetrics(SM_CYSCREEN);
    }
    WindowId windowFromPoint(int32_t x, int32_t y) override {
        POINT point{x, y};
        return toId(WindowFromPoint(point));
    }
    uint32_t windowStyle(WindowId window) override { return static_cast<uint32_t>(GetWindowLongA(toHwnd(window), GWL_STYLE)); }
    WindowId parent(WindowId window) override { return toId(GetParent(toHwnd(window))); }
    WindowId desktopWindow() override { return toId(GetDesktopWindow()); }
    bool windowRect(WindowId window, WindowRect& rect) override {
        RECT r;
        if (!GetWindowRect(toHwnd(window), &r)) return false;
        rect = {r.left, r.top, r.right, r.bottom};
        return true;
    }
    bool className(WindowId window, size_t bufferChars, std::string& name) override {
        std::vector<char> buffer(bufferChars + 1, '\0');
        const int length = GetClassNameA(toHwnd(window), buffer.data(), static_cast<int>(bufferChars));
        if (length <= 0) return false;
        name.assign(buffer.data(), static_cast<size_t>(length));
        return true;
    }
    bool windowProcessId(WindowId window, uint32_t& processId) override {
        DWORD id = 0;
        if (GetWindowThreadProcessId(toHwnd(window), &id) == 0) return false;
        processId = id;
        return true;
    }
    WindowId topWindow() override { return toId(GetTopWindow(nullptr)); }
    WindowId nextWindow(WindowId window) override { return toId(GetWindow(toHwnd(window), GW_HWNDNEXT)); }
    bool isWindowVisible(WindowId window) override { return IsWindowVisible(toHwnd(window)) != FALSE; }
    bool isOnMonitor(WindowId window) override { return MonitorFromWindow(toHwnd(window), MONITOR_DEFAULTTONULL) != nullptr; }
    WindowId findWindowByTitle(WindowId after, const WString& title) override {
        return toId(FindWindowExW(nullptr, toHwnd(after), nullptr, reinterpret_cast<const wchar_t*>(title.c_str())));
    }
    bool screenSaverRunning(bool& running) override {
        BOOL value = FALSE;
        if (!SystemParametersInfoA(SPI_GETSCREENSAVERRUNNING, 0, &value, 0)) return false;
        running = value != FALSE;
        return true;
    }
};

}  // namespace

std::shared_ptr<WindowSystem> systemWindowSystem() {
    static const std::shared_ptr<WindowSystem> instance = std::make_shared<User32Windows>();
    return instance;
}

}  // namespace monitor
