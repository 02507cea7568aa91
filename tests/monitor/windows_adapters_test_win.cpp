// The Windows adapters of process accounting and windows. Window queries need a desktop: the test
// command gives Wine a virtual display.
#include <gmock/gmock.h>

#include "platform/win32_types.h"

#include <algorithm>

#include "monitor/notify_window.h"
#include "monitor/sys_info_kernel.h"

namespace {

TEST(WindowsAdapters, SnapshotAndProbeFollowAChild) {
    // A command shell that waits for input on a pipe that this process holds.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, input = nullptr;
    ASSERT_TRUE(CreatePipe(&read, &input, &inherit, 0));
    SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = read;
    PROCESS_INFORMATION shell{};
    wchar_t command[] = L"cmd.exe /q /k";
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &shell));
    CloseHandle(read);

    auto accounting = monitor::systemProcessAccounting();
    std::vector<monitor::ProcessEntry> snapshot;
    ASSERT_TRUE(accounting->snapshot(snapshot));
    auto child =
        std::find_if(snapshot.begin(), snapshot.end(), [&](auto& e) { return e.processId == shell.dwProcessId; });
    ASSERT_NE(child, snapshot.end());
    EXPECT_EQ(child->parentId, GetCurrentProcessId());
    EXPECT_EQ(platform::asciiLower(child->exeName), u"cmd.exe");
    monitor::WaitProbe probe = accounting->probeRunning(shell.dwProcessId);
    EXPECT_TRUE(probe.opened && probe.timedOut);
    TerminateProcess(shell.hProcess, 0);
    WaitForSingleObject(shell.hProcess, 10000);
    probe = accounting->probeRunning(shell.dwProcessId);
    EXPECT_FALSE(probe.opened && probe.timedOut);
    CloseHandle(shell.hProcess);
    CloseHandle(shell.hThread);
    CloseHandle(input);
}

void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

HWND makeWindow(DWORD style, int w, int h) {
    HWND window = CreateWindowExW(0, L"VdsMonitorTest", L"", style, 0, 0, w, h, nullptr, nullptr, nullptr, nullptr);
    return pump(), window;
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
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    // Visible windows are left to the process's end: destroying one makes Wine wait for a window
    // manager that Xvfb does not have.
    HWND cover = makeWindow(WS_POPUP | WS_VISIBLE, w, h);
    if (!cover) GTEST_SKIP() << "no desktop here";
    EXPECT_EQ(SysInfo::getFullscreenWindow(), reinterpret_cast<monitor::WindowId>(cover));
    EXPECT_TRUE(SysInfo::isVisibleOnMonitor(reinterpret_cast<monitor::WindowId>(cover)));
    SetWindowPos(cover, nullptr, 0, 0, w, h - 40, SWP_NOZORDER);  // the taskbar stays visible
    pump();
    EXPECT_EQ(SysInfo::getFullscreenWindow(), 0u);
    HWND hidden = makeWindow(WS_POPUP, 10, 10);
    EXPECT_FALSE(SysInfo::isVisibleOnMonitor(reinterpret_cast<monitor::WindowId>(hidden)));
    DestroyWindow(hidden);
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
    EXPECT_TRUE(monitorsSelf());
}

}  // namespace
