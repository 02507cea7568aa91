#include "monitor/sys_info.h"

#include "logging/log.h"
#include "monitor/sys_info_kernel.h"
#include "monitor/sys_info_wmi.h"
#include "platform/dfrg_exception.h"

SysInfo::SysInfo(bool isWmi, MonitorPlatform platform) : platform_(std::move(platform)), isWmi_(isWmi) {}

SysInfo::~SysInfo() = default;

std::unique_ptr<SysInfo> SysInfo::createInstance() {
    return createInstance([] { return std::unique_ptr<SysInfo>(new CSysInfoKernel()); },
                          [] { return std::unique_ptr<SysInfo>(new CSysInfoWMI()); });
}

std::unique_ptr<SysInfo> SysInfo::createInstance(const Builder& kernel, const Builder& wmi) {
    LogScope scope("SysInfo::createInstance");
    try {
        return kernel();
    } catch (const CDfrgException& e) {
        LogMessage(scope, LogPriority::Alert)
            .text("Couldn't create CSysInfoKernel object. trying CSysInfoWMI")
            .prop("Error Message", e.message())
            .prop("Error Code", e.code());
    }
    return wmi();
}

void SysInfo::updateData() {
    const uint32_t now = platform_.tick();
    cpuUsage_ = 0.0;
    ioLoad_[0] = ioLoad_[1] = 0.0;
    pageLoad_[0] = pageLoad_[1] = 0.0;
    newProcessState_ = -1;
    // Unsigned differences keep the comparisons right across the tick's wrap.
    if (now - lastProcessRefresh_ >= kRefreshPeriodMs) updateMonitoredProcesses(false);
    if (checkPrinting_ && now - lastPrinterCheck_ >= kRefreshPeriodMs) checkPrinters();
    updateDataImpl();
}

bool SysInfo::isNewProcess() {
    if (newProcessState_ == -1) updateMonitoredProcesses(false);
    return newProcessState_ != 0;
}

double SysInfo::getFullscreenProcessCPUUsage() {
    monitor::WindowSystem& windows = *platform_.windows;
    monitor::WindowId window = getFullscreenWindow(windows);
    uint32_t processId = 0;
    if (window) {
        if (!windows.windowProcessId(window, processId)) return -1.0;
    } else {
        // The service sees no full-screen window of the user's; the session's agent may.
        if (platform_.sessionFullscreenProcess) processId = platform_.sessionFullscreenProcess();
        if (processId == 0) return -1.0;
    }
    for (const auto& record : processes_)
        if (record->processId == processId) return record->cpuUsage;
    return -1.0;
}

bool SysInfo::hasActivePrintJob(const std::string& printerName) {
    return hasActivePrintJob(*platform_.printers, printerName);
}
