// The window queries through user32: full-screen detection, visibility, the Z-order walk and
// the ignore marker. They need a desktop: the test command gives Wine a virtual display.
#include <gmock/gmock.h>

#include "platform/win32_types.h"

#include <algorithm>

#include "monitor/sys_info_kernel.h"

namespace {

void pumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

void registerClass(const wchar_t* name) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = name;
    RegisterClassW(&wc);
}

HWND makeWindow(const wchar_t* cls, const wchar_t* title, DWORD style, int x, int y, int w, int h, HWND parent = nullptr) {
    HWND window = CreateWindowExW(0, cls, title, style, x, y, w, h, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    pumpMessages();
    return window;
}

bool monitorsSelf() {
    CSysInfoKernel sampler;
    sampler.updateData();
    const auto& records = sampler.monitoredProcesses();
    return std::any_of(records.begin(), records.end(),
                       [](const auto& r) { return r->processId == GetCurrentProcessId(); });
}

void checkWindowQueries() {
    registerClass(L"VdsMonitorTest");
    registerClass(L"Progman");
    registerClass(L"ProgmanPlayer");
    const int w = GetSystemMetrics(SM_CXSCREEN);
    const int h = GetSystemMetrics(SM_CYSCREEN);
    ASSERT_GT(w, 0);

    HWND cover = makeWindow(L"VdsMonitorTest", L"cover", WS_POPUP | WS_VISIBLE, 0, 0, w, h);
    ASSERT_NE(cover, nullptr);
    HWND control = makeWindow(L"VdsMonitorTest", L"", WS_CHILD | WS_VISIBLE, w / 2 - 50, h / 2 - 50, 100, 100, cover);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(SysInfo::getFullscreenWindow(), reinterpret_cast<monitor::WindowId>(cover));
    EXPECT_TRUE(SysInfo::isVisibleOnMonitor(reinterpret_cast<monitor::WindowId>(cover)));
    EXPECT_TRUE(monitorsSelf());

    SetWindowPos(cover, nullptr, 0, 0, w, h - 40, SWP_NOZORDER);  // the taskbar stays visible
    pumpMessages();
    EXPECT_EQ(SysInfo::getFullscreenWindow(), 0u);

    // Each new window comes on top of the last. Visible windows are left to the process's
    // end: destroying one makes Wine wait for a window manager that Xvfb does not have.
    makeWindow(L"Progman", L"Program Manager", WS_POPUP | WS_VISIBLE, 0, 0, w, h);
    EXPECT_EQ(SysInfo::getFullscreenWindow(), 0u);
    HWND player = makeWindow(L"ProgmanPlayer", L"player", WS_POPUP | WS_VISIBLE, 0, 0, w, h);
    EXPECT_EQ(SysInfo::getFullscreenWindow(), reinterpret_cast<monitor::WindowId>(player));

    HWND hidden = makeWindow(L"VdsMonitorTest", L"hidden", WS_POPUP, 0, 0, 10, 10);
    EXPECT_FALSE(SysInfo::isVisibleOnMonitor(reinterpret_cast<monitor::WindowId>(hidden)));

    // The marker is found by its title alone and keeps this process out.
    registerClass(L"velkaris.dfrg.IgnoredProcessWindow");
    HWND marker = makeWindow(L"velkaris.dfrg.IgnoredProcessWindow", L"{342E1B3F-827D-4780-BFC0-D32A58F05FE3}", WS_POPUP,
                             0, 0, 0, 0);
    ASSERT_NE(marker, nullptr);
    EXPECT_FALSE(monitorsSelf());
    DestroyWindow(marker);
    pumpMessages();
    EXPECT_TRUE(monitorsSelf());
    DestroyWindow(hidden);
}

TEST(MonitorDesktop, WindowQueriesThroughUser32) {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) GTEST_SKIP() << "no desktop here";
    DestroyWindow(probe);
    checkWindowQueries();
}

}  // namespace
