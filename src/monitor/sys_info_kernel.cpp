#include "monitor/sys_info_kernel.h"

#include "logging/log.h"
#include "platform/last_error.h"

constexpr double CSysInfoKernel::kIoDivisor[2];
constexpr double CSysInfoKernel::kPageDivisor[2];

namespace {

constexpr double kTicksPerSecond = 10000000.0;  // 100-ns units

// The change of a cumulative counter per `per` 100-ns units since its last reading, then takes
// the new reading. A counter read for the first time has no rate yet: measuring from an older
// reading (one that a failed query left behind) would credit all its earlier growth to this
// interval.
double advance(KernelMonitoredProcess::Reading& reading, uint64_t value, uint64_t now, double per) {
    double rate = 0.0;
    if (reading.time != 0 && now > reading.time) {
        const uint64_t delta = value > reading.value ? value - reading.value : 0;
        rate = static_cast<double>(delta) * per / static_cast<double>(now - reading.time);
    }
    reading.value = value;
    reading.time = now;
    return rate;
}

}  // namespace

CSysInfoKernel::CSysInfoKernel(MonitorPlatform platform) : SysInfo(false, std::move(platform)) {}

std::unique_ptr<MonitoredProcess> CSysInfoKernel::createMonitoredProcessObject() {
    return std::unique_ptr<MonitoredProcess>(new KernelMonitoredProcess());
}

void CSysInfoKernel::initMonitoredProcessObjects() {
    LogScope scope("SysInfoKernel::initMonitoredProcessObjects");
    monitor::ProcessAccounting& accounting = *platform().processes;
    for (auto& base : processes_) {
        auto& record = static_cast<KernelMonitoredProcess&>(*base);
        if (record.handle || record.openFailed) continue;
        record.handle = accounting.open(record.processId);
        if (!record.handle) {
            const uint32_t error = platform::lastError();
            LogScope openScope("SysInfoKernel::openProcessHandle");
            LogMessage(openScope, LogPriority::Warning)
                .text("Error opening process handle.")
                .prop("ProcessID", record.processId)
                .prop("Error", error);
            record.openFailed = true;
        }
    }
}

void CSysInfoKernel::updateDataImpl() {
    LogScope scope("SysInfoKernel::updateDataImpl");
    monitor::ProcessAccounting& accounting = *platform().processes;
    cpuUsage_ = 0.0;
    double ioPerSecond = 0.0;
    double faultsPerSecond = 0.0;

    for (auto& base : processes_) {
        auto& record = static_cast<KernelMonitoredProcess&>(*base);
        if (!record.handle) continue;
        const uint64_t now = accounting.fileTimeNow();

        monitor::ProcessTimes times;
        if (!accounting.times(*record.handle, times)) {
            const uint32_t error = platform::lastError();
            LogMessage(scope, LogPriority::Warning)
                .text("Error obtaining process times.")
                .prop("ProcessID", record.processId)
                .prop("Error", error);
            record.cpuUsage = -1.0;
        } else {
            double usage = advance(record.processorTime, times.kernel + times.user, now, 100.0);
            if (usage > 100.0) {
                if (usage > 110.0) {
                    LogMessage(scope, LogPriority::Warning)
                        .text("Process time > 100%.")
                        .prop("ProcessID", record.processId)
                        .prop("CPUUsage", usage);
                }
                usage = 100.0;
            }
            record.cpuUsage = usage;
            cpuUsage_ += usage;
        }

        monitor::IoCounts io;
        if (!accounting.ioCounts(*record.handle, io)) {
            const uint32_t error = platform::lastError();
            LogMessage(scope, LogPriority::Warning)
                .text("Error obtaining process I/O information.")
                .prop("ProcessID", record.processId)
                .prop("Error", error);
        } else {
            ioPerSecond += advance(record.ioBytes, io.read + io.write + io.other, now, kTicksPerSecond);
        }

        uint64_t faults = 0;
        if (!accounting.pageFaults(*record.handle, faults)) {
            const uint32_t error = platform::lastError();
            LogMessage(scope, LogPriority::Warning)
                .text("Error obtaining process memory information.")
                .prop("ProcessID", record.processId)
                .prop("Error", error);
        } else {
            faultsPerSecond += advance(record.pageFaults, faults, now, kTicksPerSecond);
        }
    }

    if (cpuUsage_ > 100.0) {
        if (cpuUsage_ > 110.0) {
            LogMessage(scope, LogPriority::Warning).text("Sum of process times > 100%.").prop("CPUUsage", cpuUsage_);
        }
        cpuUsage_ = 100.0;
    }
    for (int level = 0; level < 2; ++level) {
        ioLoad_[level] = ioPerSecond / kIoDivisor[level];
        pageLoad_[level] = faultsPerSecond / kPageDivisor[level];
    }
}
