// The load sampler that measures each monitored process through the platform's process
// accounting: processor time, transferred bytes and page faults, each turned into a rate over
// the time since that counter was read before. It raises nothing: failed queries are logged and
// left out of the sums.
#pragma once
#include "monitor/sys_info.h"

struct KernelMonitoredProcess : MonitoredProcess {
    // The last reading of one cumulative counter; time 0 = never read.
    struct Reading {
        uint64_t value = 0;
        uint64_t time = 0;
    };

    bool openFailed = false;  // not tried again once it failed
    std::unique_ptr<monitor::ProcessHandle> handle;
    Reading ioBytes;
    Reading processorTime;  // kernel + user, 100 ns
    Reading pageFaults;
};

class CSysInfoKernel : public SysInfo {
public:
    static constexpr double kIoDivisor[2] = {204800.0, 307200.0};
    static constexpr double kPageDivisor[2] = {2000.0, 3000.0};

    // Cannot fail: it touches no system facility.
    explicit CSysInfoKernel(MonitorPlatform platform = MonitorPlatform::system());

protected:
    std::unique_ptr<MonitoredProcess> createMonitoredProcessObject() override;
    void initMonitoredProcessObjects() override;
    void updateDataImpl() override;
};
