#include "monitor/sys_info_wmi.h"

#include <cstdio>

#include "logging/log.h"
#include "platform/win32_types.h"
#include "platform/dfrg_exception.h"

constexpr double CSysInfoWMI::kIoDivisor[2];

namespace {

using monitor::HResult;
using monitor::kResultOk;

const WString kNamespace = u"\\\\.\\root\\cimv2";
const WString kDiskClass = u"Win32_PerfRawData_PerfDisk_PhysicalDisk";
const WString kProcessClass = u"Win32_PerfRawData_PerfProc_Process";

std::string resultText(HResult result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

[[noreturn]] void raise(int32_t code, const char* message, HResult result) {
    throw CDfrgException(code, std::string(message) + resultText(result));
}

// Logs a failed set-up step as "<label><result> )".
HResult logFailure(const LogScope& scope, const char* label, HResult result) {
    LogMessage(scope, LogPriority::Error).text(label).text(resultText(result)).text(" )").prop("Result", resultText(result));
    return result;
}

bool isInvalid(double value) { return value == -1.0; }

}  // namespace

bool monitor::bandPercent(double value, double& result) {
    if (!(value >= -5.0 && value <= 105.0)) return false;
    result = value < 0.0 ? 0.0 : (value > 100.0 ? 100.0 : value);
    return true;
}

CSysInfoWMI::CSysInfoWMI(std::unique_ptr<monitor::WmiCounters> wmi, MonitorPlatform platform)
    : SysInfo(true, std::move(platform)), wmi_(std::move(wmi)) {
    try {
        const HResult result = initWMI();
        if (result != kResultOk) raise(ErrorInitialising, "Error Initialising WMI: ", result);
    } catch (...) {
        releaseCounterObjects();
        throw;
    }
}

CSysInfoWMI::~CSysInfoWMI() {
    // The counter objects go before the connection that made them.
    releaseCounterObjects();
    wmi_.reset();
}

void CSysInfoWMI::releaseCounterObjects() {
    for (auto& base : processes_) static_cast<WmiMonitoredProcess&>(*base).object.reset();
    diskObjects_.clear();
}

std::unique_ptr<MonitoredProcess> CSysInfoWMI::createMonitoredProcessObject() {
    return std::unique_ptr<MonitoredProcess>(new WmiMonitoredProcess());
}

HResult CSysInfoWMI::initWMI() {
    LogScope scope("initWMI");
    wmi_->initialiseCom();
    HResult result = wmi_->initialiseSecurity();
    if (result != kResultOk) logFailure(scope, "Error Initializing Security ( ", result);  // not fatal
    if ((result = wmi_->createLocator()) != kResultOk) return logFailure(scope, "Error Creating Locator Instance ( ", result);
    if ((result = wmi_->connect(kNamespace)) != kResultOk) return logFailure(scope, "Error Connecting to localhost ( ", result);
    if ((result = wmi_->createRefresher()) != kResultOk)
        return logFailure(scope, "Error Creating Refresher Instance ( ", result);
    if ((result = wmi_->configureRefresher()) != kResultOk)
        return logFailure(scope, "Error Quering Config Interface from Refresher ( ", result);
    result = initDiskWMI();
    if (result == kResultOk) updateMonitoredProcesses(false);
    return result;
}

HResult CSysInfoWMI::initDiskWMI() {
    LogScope scope("initDiskWMI");
    HResult result = wmi_->addEnum(kDiskClass, diskEnumId_);
    if (result != kResultOk) return logFailure(scope, "Error adding PerfDisk Enum ( ", result);
    if ((result = wmi_->refresh()) != kResultOk) return logFailure(scope, "Error Refreshing ( ", result);
    if ((result = wmi_->objects(diskEnumId_, diskObjects_)) != kResultOk)
        return logFailure(scope, "Error getting diskEnum Objects ( ", result);
    if (diskObjects_.empty()) return monitor::kWbemNotFound;
    if ((result = diskObjects_.front()->propertyHandle(u"PercentIdleTime", idleHandle_)) != kResultOk)
        return logFailure(scope, "Error getting PercentIdleTime ( ", result);
    if ((result = diskObjects_.front()->propertyHandle(u"PercentIdleTime_Base", idleBaseHandle_)) != kResultOk)
        return logFailure(scope, "Error getting PercentIdleTime_Base ( ", result);
    return kResultOk;
}

void CSysInfoWMI::initMonitoredProcessObjects() { initProcessWMI(); }

void CSysInfoWMI::initProcessWMI() {
    if (hasProcessEnum_) {
        wmi_->removeEnum(processEnumId_);
        hasProcessEnum_ = false;
    }
    for (auto& base : processes_) static_cast<WmiMonitoredProcess&>(*base).object.reset();

    HResult result = wmi_->addEnum(kProcessClass, processEnumId_);
    if (result != kResultOk) raise(ErrorInitialising, "Couldn't add Win32_PerfRawData_PerfProc_Process to enum: ", result);
    hasProcessEnum_ = true;
    if ((result = wmi_->refresh()) != kResultOk)
        raise(ErrorQueringPerformanceCounter, "Couldn't refresh Performance Counters (in initProcessWMI): ", result);
    std::vector<monitor::WmiObjectRef> objects;
    if ((result = wmi_->objects(processEnumId_, objects)) != kResultOk)
        raise(ErrorInitialising, "Couldn't add Win32_PerfRawData_PerfProc_Process to enum: ", result);
    if (objects.empty()) return;

    int32_t idHandle = 0;
    if ((result = objects.front()->propertyHandle(u"IDProcess", idHandle)) != kResultOk)
        raise(ErrorQueringPerformanceCounter, "Couldn't find \"IDProcess\" Property Handle (in initProcessWMI): ", result);
    for (const auto& object : objects) {
        uint32_t processId = 0;
        if (object->readDword(idHandle, processId) != kResultOk) continue;
        for (auto& base : processes_) {
            auto& record = static_cast<WmiMonitoredProcess&>(*base);
            if (record.processId != processId || record.object) continue;
            record.object = object;
            record.cpuUsage = 0.0;
            record.previousTime = 0;
            record.previousStamp = 0;
            if ((result = object->propertyHandle(u"PercentProcessorTime", record.processorTimeHandle)) != kResultOk)
                raise(ErrorQueringPerformanceCounter,
                      "Couldn't find \"PercentProcessorTime\" Property Handle (in initProcessWMI): ", result);
            if ((result = object->propertyHandle(u"TimeStamp_Sys100NS", record.timeStampHandle)) != kResultOk)
                raise(ErrorQueringPerformanceCounter,
                      "Couldn't find \"TimeStamp_Sys100NS\" Property Handle (in initProcessWMI): ", result);
            break;
        }
    }
}

void CSysInfoWMI::updateDataImpl() {
    const HResult result = wmi_->refresh();
    if (result != kResultOk) raise(ErrorQueringPerformanceCounter, "Couldn't refresh Performance Counters: ", result);
    updateDiskData();
    updateProcessData();
}

void CSysInfoWMI::updateDiskData() {
    if (diskObjects_.empty()) return;
    // The last instance is the one that sums all disks.
    monitor::WmiObject& total = *diskObjects_.back();
    uint64_t idle = 0;
    uint64_t base = 0;
    HResult result = total.readQword(idleHandle_, idle);
    if (result != kResultOk) raise(ErrorQueringPerformanceCounter, "Disk PerfCounter Query returned: ", result);
    if ((result = total.readQword(idleBaseHandle_, base)) != kResultOk)
        raise(ErrorQueringPerformanceCounter, "Disk PerfCounter Base Query returned: ", result);

    const double raw = static_cast<double>(idle - previousIdle_) / static_cast<double>(base - previousIdleBase_) * 100.0;
    double value = -1.0;
    if (!monitor::bandPercent(raw, value)) {
        LogScope scope("updateDiskData");
        LogMessage(scope, LogPriority::Alert).text("Received invalid HD idle time.").prop("Time", raw);
        value = -1.0;  // counts as fully busy
    }
    diskIdle_ = value;
    for (int level = 0; level < 2; ++level) ioLoad_[level] = (100.0 - value) / kIoDivisor[level];
    previousIdle_ = idle;
    previousIdleBase_ = base;
}

bool CSysInfoWMI::processStillRuns(uint32_t processId) {
    const monitor::WaitProbe probe = platform().processes->probeRunning(processId);
    if (!probe.opened) return probe.openError == ERROR_ACCESS_DENIED;
    return probe.timedOut;
}

void CSysInfoWMI::updateProcessData() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        cpuUsage_ = 0.0;
        bool recreate = false;
        for (auto& base : processes_) {
            auto& record = static_cast<WmiMonitoredProcess&>(*base);
            if (!record.object) continue;
            uint64_t time = 0;
            uint64_t stamp = 0;
            if (record.seen) {
                HResult result = record.object->readQword(record.processorTimeHandle, time);
                if (result == kResultOk) result = record.object->readQword(record.timeStampHandle, stamp);
                if (result != kResultOk) {
                    LogScope scope("updateProcessData");
                    LogMessage(scope, LogPriority::Error)
                        .text("Process PerfCounter Query returned error.")
                        .prop("Result", resultText(result));
                    record.seen = false;
                }
            }
            if (!record.seen) continue;

            const double raw = static_cast<double>(time - record.previousTime) /
                               static_cast<double>(stamp - record.previousStamp) * 100.0;
            record.previousTime = time;
            record.previousStamp = stamp;
            double value = -1.0;
            if (!monitor::bandPercent(raw, value)) {
                if (!processStillRuns(record.processId)) {
                    record.seen = false;  // it ended: dropped at the next refresh, nothing to report
                    continue;
                }
                LogScope scope("updateProcessData");
                LogMessage(scope, LogPriority::Alert)
                    .text("Received invalid time for monitored process.")
                    .prop("Process", record.processId)
                    .prop("Time", raw);
                value = -1.0;
            }

            record.cpuUsage = value;
            for (int i = MonitoredProcess::kHistorySize - 1; i > 0; --i) record.cpuHistory[i] = record.cpuHistory[i - 1];
            record.cpuHistory[0] = value;
            if (!isInvalid(value)) cpuUsage_ += value;

            int invalid = 0;
            for (double h : record.cpuHistory) invalid += isInvalid(h) ? 1 : 0;
            if (invalid >= 3) {
                LogScope scope("updateProcessData");
                LogMessage(scope, LogPriority::Alert)
                    .text("Process has returned invalid values for a longer time period.")
                    .prop("Process", record.processId);
                recreate = true;
                break;
            }
        }
        if (!recreate) return;

        LogScope scope("updateProcessData");
        if (attempt == 0) {
            logText(scope, LogPriority::Alert,
                    "Updating monitored processes because of invalid values ('forceObjectRecreate' = true).");
            updateMonitoredProcesses(true);
        } else {
            logText(scope, LogPriority::Alert, "Still having invalid values after retry. Giving up for now.");
        }
    }
}
