// Fakes of the platform services of the load samplers: a process table with scripted counters,
// windows in Z order, a power status, a spooler with printers and jobs, WMI counter objects and
// a tick that the test moves. Failing calls set the thread's last error as the real ones do.
#pragma once
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "monitor/monitor_platform.h"
#include "monitor/wmi_counters.h"

namespace fakes {

struct Process {
    uint32_t parentId = 0;
    WString exeName = u"app.exe";
    uint32_t openError = 0;  // non-zero: open fails with it
    monitor::ProcessTimes times;
    monitor::IoCounts io;
    uint64_t faults = 0;
    uint32_t timesError = 0, ioError = 0, faultsError = 0;  // non-zero: that query fails
    bool listed = true;                                     // appears in the snapshot
    monitor::WaitProbe probe{true, 0, true};                // still running
};

class Processes : public monitor::ProcessAccounting {
public:
    std::map<uint32_t, Process> table;
    uint64_t now = 130000000000000000ull;
    bool snapshotFails = false;
    std::map<uint32_t, int> openCalls;

    Process& add(uint32_t id, uint32_t parent = 0, const WString& exe = u"app.exe");

    std::unique_ptr<monitor::ProcessHandle> open(uint32_t processId) override;
    bool times(monitor::ProcessHandle& process, monitor::ProcessTimes& out) override;
    bool ioCounts(monitor::ProcessHandle& process, monitor::IoCounts& out) override;
    bool pageFaults(monitor::ProcessHandle& process, uint64_t& count) override;
    uint64_t fileTimeNow() override { return now; }
    bool snapshot(std::vector<monitor::ProcessEntry>& out) override;
    monitor::WaitProbe probeRunning(uint32_t processId) override;
};

struct Window {
    monitor::WindowId id = 0;
    uint32_t owner = 0;  // 0: the owner cannot be read
    bool visible = true;
    bool onMonitor = true;
    std::string className = "Notepad";
    WString title;
    monitor::WindowRect rect;
    uint32_t style = 0;
    monitor::WindowId parent = 0;
};

class Windows : public monitor::WindowSystem {
public:
    std::vector<Window> zOrder;  // top first
    int32_t width = 1920, height = 1080;
    monitor::WindowId desktop = 1;
    monitor::WindowId atPoint = 0;  // what windowFromPoint answers
    int32_t askedX = -1, askedY = -1;
    bool saverQueryWorks = true, saverRunning = false;
    int walks = 0;  // top-level walks started

    Window& add(monitor::WindowId id, uint32_t owner);

    void screenSize(int32_t& w, int32_t& h) override { w = width, h = height; }
    monitor::WindowId windowFromPoint(int32_t x, int32_t y) override;
    uint32_t windowStyle(monitor::WindowId w) override;
    monitor::WindowId parent(monitor::WindowId w) override;
    monitor::WindowId desktopWindow() override { return desktop; }
    bool windowRect(monitor::WindowId w, monitor::WindowRect& rect) override;
    bool className(monitor::WindowId w, size_t bufferChars, std::string& name) override;
    bool windowProcessId(monitor::WindowId w, uint32_t& processId) override;
    monitor::WindowId topWindow() override;
    monitor::WindowId nextWindow(monitor::WindowId w) override;
    bool isWindowVisible(monitor::WindowId w) override;
    bool isOnMonitor(monitor::WindowId w) override;
    monitor::WindowId findWindowByTitle(monitor::WindowId after, const WString& title) override;
    bool screenSaverRunning(bool& running) override;

private:
    const Window* find(monitor::WindowId w) const;
};

class Power : public monitor::PowerSource {
public:
    bool works = true;
    monitor::PowerStatus status{1, 128};
    bool read(monitor::PowerStatus& out) override;
};

struct Printer {
    std::string name;
    uint32_t status = 0;
    std::vector<uint32_t> jobStates;
    bool opens = true;
};

class Spooler : public monitor::PrintSpooler {
public:
    std::vector<Printer> printers;
    uint32_t listError = 122;  // the error of the size request when printers exist
    bool readFails = false;
    int sizeRequests = 0;
    std::vector<std::string> opened;

    bool printerListSize(uint32_t& needed) override;
    bool readPrinterList(uint32_t size, std::vector<monitor::PrinterEntry>& out) override;
    std::unique_ptr<monitor::PrinterConnection> open(const std::string& name) override;
    bool jobSize(monitor::PrinterConnection& printer, uint32_t index, uint32_t& needed) override;
    bool readJob(monitor::PrinterConnection& printer, uint32_t index, uint32_t size, uint32_t& status) override;
};

// Everything a sampler needs, with the tick under the test's control.
struct Machine {
    std::shared_ptr<Processes> processes = std::make_shared<Processes>();
    std::shared_ptr<Windows> windows = std::make_shared<Windows>();
    std::shared_ptr<Power> power = std::make_shared<Power>();
    std::shared_ptr<Spooler> spooler = std::make_shared<Spooler>();
    std::shared_ptr<uint32_t> tick = std::make_shared<uint32_t>(100000);

    MonitorPlatform platform() const;
    void advance(uint32_t ms) { *tick += ms; }
    // A process with a visible window on a monitor.
    void addWindowed(uint32_t processId, monitor::WindowId window);
};

// WMI: counter objects keyed by property name; a read of a property listed in `failing` fails.
class WmiObject : public monitor::WmiObject {
public:
    std::map<WString, uint64_t> values;
    std::set<WString> missing, failing;
    monitor::HResult propertyHandle(const WString& name, int32_t& handle) override;
    monitor::HResult readDword(int32_t handle, uint32_t& value) override;
    monitor::HResult readQword(int32_t handle, uint64_t& value) override;

private:
    static std::vector<WString>& handleNames();
};

struct WmiState {
    std::map<std::string, monitor::HResult> failures;  // call name -> result, e.g. "createRefresher"
    std::vector<std::shared_ptr<WmiObject>> disks;      // the last one sums all disks
    std::vector<std::shared_ptr<WmiObject>> processes;
    std::map<WString, int> enumsAdded;  // per class
    int enumsRemoved = 0;
    int refreshes = 0;
    bool destroyed = false;

    std::shared_ptr<WmiObject> addDisk(uint64_t idle, uint64_t base);
    std::shared_ptr<WmiObject> addProcess(uint32_t processId, uint64_t time, uint64_t stamp);
    std::shared_ptr<WmiObject> process(uint32_t processId);
};

std::unique_ptr<monitor::WmiCounters> makeWmi(std::shared_ptr<WmiState> state);

}  // namespace fakes
