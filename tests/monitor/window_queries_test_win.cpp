// The window queries through user32. They need a desktop: the test command gives Wine a virtual
// display.
#include <gtest/gtest.h>

#include "platform/win32_types.h"

#include <algorithm>

#include "monitor/notify_window.h"
#include "monitor/sys_info_kernel.h"

namespace {

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

bool monitorsSelf() {
    CSysInfoKernel sampler;
    sampler.updateData();
    const auto& records = sampler.monitoredProcesses();
    return std::any_of(records.begin(), records.end(), [](auto& r) { return r->processId == GetCurrentProcessId(); });
}

TEST(WindowsAdapters, WindowQueriesThroughUser32) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = L"VdsMonitorTest";
    RegisterClassW(&wc);
    // Visible windows are left to the process's end: destroying one makes Wine wait for a window
    // manager that Xvfb does not have.
    HWND cover = CreateWindowExW(0, L"VdsMonitorTest", L"", WS_POPUP | WS_VISIBLE, 0, 0, GetSystemMetrics(SM_CXSCREEN),
                                 GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr, nullptr, nullptr);
    pump();
    if (!cover) GTEST_SKIP() << "no desktop here";
    EXPECT_EQ(SysInfo::getFullscreenWindow(), reinterpret_cast<monitor::WindowId>(cover));
    // The marker window keeps this process out while it lives; a restart, one engine after the
    // other, leaves at most one at a time.
    auto markers = [] {
        int n = 0;
        for (void* w = CNotifyWindow::findNextMarkerWindow(nullptr); w; w = CNotifyWindow::findNextMarkerWindow(w)) ++n;
        return n;
    };
    EXPECT_TRUE(monitorsSelf());
    const int before = markers();
    for (int i = 0; i < 2; ++i) {
        CNotifyWindow marker;
        ASSERT_TRUE(marker.created());
        EXPECT_EQ(markers(), before + 1);
        EXPECT_FALSE(monitorsSelf());
    }
    EXPECT_EQ(markers(), before);
}

}  // namespace
