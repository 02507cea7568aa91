// The load sampler that reads raw performance counters through WMI: the idle time of the
// physical disks and the processor time of each monitored process. Unlike the kernel variant
// it raises CDfrgException: ErrorInitialising when it cannot be set up, and
// ErrorQueringPerformanceCounter when a refresh or a counter read fails.
#pragma once
#include "monitor/sys_info.h"
#include "monitor/wmi_counters.h"

struct WmiMonitoredProcess : MonitoredProcess {
    monitor::WmiObjectRef object;  // the bound counter object
    int32_t processorTimeHandle = 0;
    int32_t timeStampHandle = 0;
    uint64_t previousTime = 0;
    uint64_t previousStamp = 0;
};

namespace monitor {
// The plausibility bands of a percentage: 0..100 is kept, -5..0 reads 0, 100..105 reads 100.
// False for anything else (also NaN and infinities).
bool bandPercent(double value, double& result);
}  // namespace monitor

class CSysInfoWMI : public SysInfo {
public:
    static constexpr double kIoDivisor[2] = {30.0, 40.0};

    explicit CSysInfoWMI(std::unique_ptr<monitor::WmiCounters> wmi = monitor::systemWmiCounters(),
                         MonitorPlatform platform = MonitorPlatform::system());
    ~CSysInfoWMI() override;

    // The disk idle percent of the last cycle; -1 when the reading was implausible.
    double diskIdlePercent() const { return diskIdle_; }

protected:
    std::unique_ptr<MonitoredProcess> createMonitoredProcessObject() override;
    void initMonitoredProcessObjects() override;
    void updateDataImpl() override;

private:
    monitor::HResult initWMI();
    monitor::HResult initDiskWMI();
    void initProcessWMI();
    void updateDiskData();
    void updateProcessData();
    bool processStillRuns(uint32_t processId);
    void releaseCounterObjects();

    std::unique_ptr<monitor::WmiCounters> wmi_;
    int32_t idleHandle_ = 0;
    int32_t idleBaseHandle_ = 0;
    int32_t diskEnumId_ = 0;
    bool hasProcessEnum_ = false;
    int32_t processEnumId_ = 0;
    std::vector<monitor::WmiObjectRef> diskObjects_;
    uint64_t previousIdle_ = 0;
    uint64_t previousIdleBase_ = 0;
    double diskIdle_ = 0.0;
};
