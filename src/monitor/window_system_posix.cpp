// Linux only: no window system. The processes that have a controlling terminal stand for the
// visible top-level windows, one each (window id = process id), and this process carries the
// ignore marker, so the service never monitors itself.
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "monitor/proc_files.h"
#include "monitor/sys_info.h"
#include "monitor/window_system.h"

namespace monitor {

namespace {

class TerminalWindows : public WindowSystem {
public:
    void screenSize(int32_t& width, int32_t& height) override { width = height = 0; }
    WindowId windowFromPoint(int32_t, int32_t) override { return 0; }
    uint32_t windowStyle(WindowId) override { return 0; }
    WindowId parent(WindowId) override { return 0; }
    WindowId desktopWindow() override { return 0; }
    bool windowRect(WindowId, WindowRect&) override { return false; }
    bool className(WindowId, size_t, std::string&) override { return false; }

    bool windowProcessId(WindowId window, uint32_t& processId) override {
        processId = static_cast<uint32_t>(window);
        return window != 0;
    }

    // The walk's order is taken when it starts.
    WindowId topWindow() override {
        std::vector<ProcStat> stats;
        std::vector<WindowId> order;
        if (readAllProcStats(stats)) {
            for (const ProcStat& stat : stats)
                if (stat.terminal != 0 && stat.state != 'Z') order.push_back(stat.processId);
        }
        std::lock_guard<std::mutex> lock(lock_);
        order_ = std::move(order);
        return order_.empty() ? 0 : order_.front();
    }

    WindowId nextWindow(WindowId window) override {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = std::find(order_.begin(), order_.end(), window);
        if (it == order_.end() || ++it == order_.end()) return 0;
        return *it;
    }

    bool isWindowVisible(WindowId window) override { return window != 0; }
    bool isOnMonitor(WindowId window) override { return window != 0; }

    WindowId findWindowByTitle(WindowId after, const WString& title) override {
        if (after != 0 || title != platform::utf8ToUtf16(SysInfo::kIgnoreMarkerTitle)) return 0;
        return static_cast<WindowId>(getpid());
    }

    bool screenSaverRunning(bool& running) override {
        running = false;
        return false;
    }

private:
    std::mutex lock_;
    std::vector<WindowId> order_;
};

}  // namespace

std::shared_ptr<WindowSystem> systemWindowSystem() {
    static const std::shared_ptr<WindowSystem> instance = std::make_shared<TerminalWindows>();
    return instance;
}

}  // namespace monitor
