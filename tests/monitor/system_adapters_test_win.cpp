// The Windows adapters of process accounting, power, printers and WMI, as far as Wine serves
// them.
#include <gmock/gmock.h>

#include "platform/win32_types.h"

#include <algorithm>

#include "monitor/sys_info_kernel.h"
#include "monitor/sys_info_wmi.h"
#include "platform/dfrg_exception.h"
#include "support/monitor_fakes.h"
#include "support/capture_appender.h"

namespace {

// A command shell that waits for input on a pipe that this process holds.
struct WaitingShell {
    PROCESS_INFORMATION info{};
    HANDLE input = nullptr;

    bool start() {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE read = nullptr;
        if (!CreatePipe(&read, &input, &inherit, 0)) return false;
        SetHandleInformation(input, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = read;
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        wchar_t command[] = L"cmd.exe /q /k";
        const BOOL ok = CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
        CloseHandle(read);
        return ok != FALSE;
    }
    void end() {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 10000);
    }
    ~WaitingShell() {
        if (info.hProcess) end(), CloseHandle(info.hProcess), CloseHandle(info.hThread);
        if (input) CloseHandle(input);
    }
};

TEST(WindowsAccounting, SnapshotAndRefreshFollowAChildOfAMonitoredProcess) {
    WaitingShell shell;
    ASSERT_TRUE(shell.start());
    auto accounting = monitor::systemProcessAccounting();
    std::vector<monitor::ProcessEntry> snapshot;
    ASSERT_TRUE(accounting->snapshot(snapshot));
    auto find = [&](uint32_t id) {
        return std::find_if(snapshot.begin(), snapshot.end(), [&](const auto& e) { return e.processId == id; });
    };
    ASSERT_NE(find(GetCurrentProcessId()), snapshot.end());
    auto child = find(shell.info.dwProcessId);
    ASSERT_NE(child, snapshot.end());
    EXPECT_EQ(child->parentId, GetCurrentProcessId());
    EXPECT_EQ(platform::asciiLower(child->exeName), u"cmd.exe");

    // This process owns a (fake) window; the real snapshot brings in its child.
    fakes::Machine machine;
    MonitorPlatform platform = machine.platform();
    platform.processes = accounting;
    machine.windows->add(100, GetCurrentProcessId());
    CSysInfoKernel sampler(platform);
    sampler.updateData();
    std::vector<uint32_t> ids;
    for (const auto& r : sampler.monitoredProcesses()) ids.push_back(r->processId);
    EXPECT_THAT(ids, testing::UnorderedElementsAre(GetCurrentProcessId(), shell.info.dwProcessId));

    monitor::WaitProbe probe = accounting->probeRunning(shell.info.dwProcessId);
    EXPECT_TRUE(probe.opened);
    EXPECT_TRUE(probe.timedOut);
    shell.end();
    probe = accounting->probeRunning(shell.info.dwProcessId);
    EXPECT_FALSE(probe.opened && probe.timedOut);
}

TEST(WindowsEnvironment, PowerPrintersScreenSaverAndWmiAnswerSoberly) {
    monitor::PowerStatus power;
    ASSERT_TRUE(monitor::systemPowerSource()->read(power));
    EXPECT_NE(power.acLineStatus, 0);  // a test machine runs on the line
    EXPECT_FALSE(SysInfo::isOnBattery());
    EXPECT_FALSE(SysInfo::isScreenSaverRunning());

    std::unique_ptr<SysInfo> sampler = SysInfo::createInstance();
    sampler->updateData();
    EXPECT_FALSE(sampler->isPrinting());

    // Wine has no WMI refresher, so there the sampler cannot be built; on Windows it samples.
    CaptureAppender& log = *CaptureAppender::install();
    try {
        CSysInfoWMI wmi;
        wmi.updateData();
        EXPECT_EQ(wmi.getPageLoad(0), 0.0);
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorInitialising);
        EXPECT_THAT(e.message(), testing::StartsWith("Error Initialising WMI: 0x"));
        EXPECT_EQ(log.count("Error Creating Refresher Instance ( " + e.message().substr(24) + " )"), 1u) << e.message();
    }
}

}  // namespace
