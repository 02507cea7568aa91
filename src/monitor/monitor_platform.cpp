#include "monitor/monitor_platform.h"

#include "platform/clock.h"

MonitorPlatform MonitorPlatform::system() {
    MonitorPlatform p;
    p.processes = monitor::systemProcessAccounting();
    p.windows = monitor::systemWindowSystem();
    p.power = monitor::systemPowerSource();
    p.printers = monitor::systemPrintSpooler();
    p.tick = &platform::tickCount;
    return p;
}
