#include "monitor/monitor_platform.h"

#include "monitor/agent_reports.h"
#include "platform/clock.h"

MonitorPlatform MonitorPlatform::system() {
    MonitorPlatform p;
    p.processes = monitor::systemProcessAccounting();
    p.windows = monitor::systemWindowSystem();
    p.power = monitor::systemPowerSource();
    p.printers = monitor::systemPrintSpooler();
    p.tick = &platform::tickCount;
    p.sessionProcesses = [](std::vector<uint32_t>& ids) {
        return agent::CAgentReports::process().windowedProcesses(platform::tickCount(), ids);
    };
    p.sessionFullscreenProcess = [] { return agent::CAgentReports::process().fullscreenProcess(platform::tickCount()); };
    return p;
}
