// The load sampler: in each sampling cycle it measures the processor, I/O and page-fault load
// of the monitored processes (the processes the user works with) and answers questions about
// the user's environment. Two variants measure: CSysInfoKernel through process accounting and
// CSysInfoWMI through performance counters; this base owns the monitored-process list and its
// refresh, the printer check and the cycle.
//
// A sampler belongs to one thread and has no lock. The static probes touch no object state and
// may be called from any thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "monitor/monitor_platform.h"

// One monitored process; each variant derives its own record with its measuring state.
struct MonitoredProcess {
    static constexpr int kHistorySize = 5;

    virtual ~MonitoredProcess() = default;

    bool seen = true;          // found again by the last refresh
    uint32_t processId = 0;
    double cpuUsage = 0.0;     // percent of one processor; -1.0 = no valid value
    double cpuHistory[kHistorySize] = {0.0, 0.0, 0.0, 0.0, 0.0};  // newest first
};

class SysInfo {
public:
    static constexpr uint32_t kRefreshPeriodMs = 5000;
    static constexpr const char* kIgnoreMarkerTitle = "{342E1B3F-827D-4780-BFC0-D32A58F05FE3}";

    virtual ~SysInfo();
    SysInfo(const SysInfo&) = delete;
    SysInfo& operator=(const SysInfo&) = delete;

    // The kernel variant, or the WMI variant when the kernel variant cannot be built. Raises
    // CDfrgException when neither can.
    static std::unique_ptr<SysInfo> createInstance();
    using Builder = std::function<std::unique_ptr<SysInfo>()>;
    static std::unique_ptr<SysInfo> createInstance(const Builder& kernel, const Builder& wmi);

    // One sampling cycle. Raises what the variant's measuring raises (the WMI variant only).
    void updateData();

    double getCPUUsage() const { return cpuUsage_; }
    // Level 0 or 1; any other level reads 0.
    double getIOLoad(int level) const { return level == 0 || level == 1 ? ioLoad_[level] : 0.0; }
    double getPageLoad(int level) const { return level == 0 || level == 1 ? pageLoad_[level] : 0.0; }
    // The CPU usage of the monitored process that owns the full-screen window, or -1.0.
    double getFullscreenProcessCPUUsage();
    // Refreshes the monitored processes first when this cycle has not decided yet.
    bool isNewProcess();
    bool isPrinting() const { return printing_; }
    void setCheckPrinting(bool check) { checkPrinting_ = check; }
    bool isWMI() const { return isWmi_; }
    // Asks whether a printer of this sampler's spooler has a job that is being worked on.
    bool hasActivePrintJob(const std::string& printerName);

    const std::vector<std::unique_ptr<MonitoredProcess>>& monitoredProcesses() const { return processes_; }

    // Environment probes, on the machine's own services or on given ones.
    static monitor::WindowId getFullscreenWindow();
    static monitor::WindowId getFullscreenWindow(monitor::WindowSystem& windows);
    static bool isScreenSaverRunning();
    static bool isScreenSaverRunning(monitor::WindowSystem& windows);
    static bool isOnBattery();
    static bool isOnBattery(monitor::PowerSource& power);
    static bool isVisibleOnMonitor(monitor::WindowId window);
    static bool isVisibleOnMonitor(monitor::WindowSystem& windows, monitor::WindowId window);
    static bool hasActivePrintJob(monitor::PrintSpooler& spooler, const std::string& printerName);
    // The owners of the visible top-level windows in Z order, each once, without the processes
    // that own a window titled with the ignore marker (those go to `ignored` when given).
    static std::vector<uint32_t> windowedProcesses(monitor::WindowSystem& windows, std::set<uint32_t>* ignored = nullptr);

protected:
    SysInfo(bool isWmi, MonitorPlatform platform);

    // A new record of the variant's type: seen, all measurements zero.
    virtual std::unique_ptr<MonitoredProcess> createMonitoredProcessObject() = 0;
    // Prepares the measuring of the current records; called after a refresh found a new
    // process or was forced.
    virtual void initMonitoredProcessObjects() = 0;
    // Measures and stores the CPU usage, I/O load and page load.
    virtual void updateDataImpl() = 0;

    void updateMonitoredProcesses(bool force);
    MonitorPlatform& platform() { return platform_; }

    std::vector<std::unique_ptr<MonitoredProcess>> processes_;
    double cpuUsage_ = 0.0;
    double ioLoad_[2] = {0.0, 0.0};
    double pageLoad_[2] = {0.0, 0.0};

private:
    bool addMonitoredProcess(uint32_t processId);
    void checkPrinters();

    MonitorPlatform platform_;
    uint32_t lastProcessRefresh_ = 0;
    bool isWmi_;
    int32_t newProcessState_ = -1;  // -1 undecided in this cycle, 0 none, 1 found
    bool checkPrinting_ = true;
    bool printing_ = false;
    uint32_t lastPrinterCheck_ = 0;
};
