// The environment probes and the monitored-process refresh of the sampler.
#include <algorithm>
#include <set>

#include "logging/log.h"
#include "monitor/sys_info.h"
#include "platform/last_error.h"
#include "platform/win32_types.h"

namespace {

constexpr uint32_t kPrinterExcluded = 0x1 | 0x2 | 0x80 | 0x1000;  // paused, error, offline, not available
// paused, error, deleting, offline, paper out, printed, deleted, blocked, user intervention, complete
constexpr uint32_t kJobExcluded = 0x1 | 0x2 | 0x4 | 0x20 | 0x40 | 0x80 | 0x100 | 0x200 | 0x400 | 0x1000;
constexpr size_t kClassNameBuffer = 9;
// The Z-order walk can run in circles while windows are reordered under it; this ends it.
constexpr uint32_t kMaxWindowsWalked = 65536;

const WString& markerTitle() {
    static const WString title = platform::utf8ToUtf16(SysInfo::kIgnoreMarkerTitle);
    return title;
}

}  // namespace

monitor::WindowId SysInfo::getFullscreenWindow() { return getFullscreenWindow(*monitor::systemWindowSystem()); }

monitor::WindowId SysInfo::getFullscreenWindow(monitor::WindowSystem& windows) {
    int32_t width = 0;
    int32_t height = 0;
    windows.screenSize(width, height);
    monitor::WindowId window = windows.windowFromPoint(width / 2, height / 2);
    while (window && (windows.windowStyle(window) & monitor::kWindowStyleChild)) window = windows.parent(window);
    if (!window || window == windows.desktopWindow()) return 0;
    monitor::WindowRect rect;
    if (!windows.windowRect(window, rect)) return 0;
    if (!(rect.left <= 0 && rect.top <= 0 && rect.right >= width && rect.bottom >= height)) return 0;
    std::string name;
    if (!windows.className(window, kClassNameBuffer, name)) return 0;
    if (platform::asciiLower(name) == "progman") return 0;  // the desktop itself
    return window;
}

bool SysInfo::isScreenSaverRunning() { return isScreenSaverRunning(*monitor::systemWindowSystem()); }

bool SysInfo::isScreenSaverRunning(monitor::WindowSystem& windows) {
    bool running = false;
    return windows.screenSaverRunning(running) && running;
}

bool SysInfo::isOnBattery() { return isOnBattery(*monitor::systemPowerSource()); }

bool SysInfo::isOnBattery(monitor::PowerSource& power) {
    monitor::PowerStatus status;
    if (!power.read(status)) return false;
    if (status.acLineStatus == 0) return true;
    if (status.acLineStatus == 1) return false;
    if (status.acLineStatus == 255 && status.batteryFlag == 255) return false;
    if (status.batteryFlag == 128) return false;  // no system battery
    return true;
}

bool SysInfo::isVisibleOnMonitor(monitor::WindowId window) {
    return isVisibleOnMonitor(*monitor::systemWindowSystem(), window);
}

bool SysInfo::isVisibleOnMonitor(monitor::WindowSystem& windows, monitor::WindowId window) {
    return windows.isWindowVisible(window) && windows.isOnMonitor(window);
}

bool SysInfo::hasActivePrintJob(monitor::PrintSpooler& spooler, const std::string& printerName) {
    std::unique_ptr<monitor::PrinterConnection> printer = spooler.open(printerName);
    if (!printer) return false;
    for (uint32_t index = 0;; ++index) {
        uint32_t needed = 0;
        if (spooler.jobSize(*printer, index, needed)) return false;  // no job at this index
        if (platform::lastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return false;
        uint32_t status = 0;
        if (!spooler.readJob(*printer, index, needed, status)) return false;
        if (status == 0 || (status & kJobExcluded)) continue;
        return true;  // spooling, printing, or any state without an excluding bit
    }
}

void SysInfo::checkPrinters() {
    monitor::PrintSpooler& spooler = *platform_.printers;
    printing_ = false;
    uint32_t needed = 0;
    if (spooler.printerListSize(needed)) return;  // no printer at all
    if (platform::lastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return;
    std::vector<monitor::PrinterEntry> printers;
    if (!spooler.readPrinterList(needed, printers)) return;
    for (const auto& printer : printers) {
        if (printer.jobs == 0 || (printer.status & kPrinterExcluded)) continue;
        if (hasActivePrintJob(spooler, printer.name)) {
            printing_ = true;
            break;
        }
    }
    // Only a completed check waits for the next period; a failed one is retried next cycle.
    lastPrinterCheck_ = platform_.tick();
}

std::vector<uint32_t> SysInfo::windowedProcesses(monitor::WindowSystem& windows, std::set<uint32_t>* ignoredOut) {
    std::set<uint32_t> ignored;
    uint32_t walked = 0;
    for (monitor::WindowId w = windows.findWindowByTitle(0, markerTitle()); w && walked < kMaxWindowsWalked;
         w = windows.findWindowByTitle(w, markerTitle()), ++walked) {
        uint32_t owner = 0;
        if (windows.windowProcessId(w, owner)) ignored.insert(owner);
    }
    std::vector<uint32_t> owners;
    walked = 0;
    for (monitor::WindowId w = windows.topWindow(); w && walked < kMaxWindowsWalked; w = windows.nextWindow(w), ++walked) {
        uint32_t owner = 0;
        if (!isVisibleOnMonitor(windows, w) || !windows.windowProcessId(w, owner)) continue;
        if (ignored.count(owner) || std::find(owners.begin(), owners.end(), owner) != owners.end()) continue;
        owners.push_back(owner);
    }
    if (ignoredOut) *ignoredOut = std::move(ignored);
    return owners;
}

bool SysInfo::addMonitoredProcess(uint32_t processId) {
    for (auto& record : processes_) {
        if (record->processId == processId) {
            record->seen = true;
            return false;
        }
    }
    std::unique_ptr<MonitoredProcess> record = createMonitoredProcessObject();
    record->processId = processId;
    record->seen = true;
    LogScope scope("addMonitoredProcess");
    LogMessage(scope, LogPriority::Informal).text("Monitoring process.").prop("ProcessID", processId);
    processes_.push_back(std::move(record));
    return true;
}

void SysInfo::updateMonitoredProcesses(bool force) {
    LogScope scope("updateMonitoredProcesses");
    monitor::WindowSystem& windows = *platform_.windows;
    for (auto& record : processes_) record->seen = false;
    bool newFound = false;

    std::set<uint32_t> ignored;
    for (uint32_t owner : windowedProcesses(windows, &ignored))
        if (addMonitoredProcess(owner)) newFound = true;
    // What the user's sessions show, as their agents report it: a service sees no window there.
    std::vector<uint32_t> sessionOwners;
    if (platform_.sessionProcesses && platform_.sessionProcesses(sessionOwners))
        for (uint32_t owner : sessionOwners)
            if (!ignored.count(owner) && addMonitoredProcess(owner)) newFound = true;

    std::vector<monitor::ProcessEntry> snapshot;
    if (platform_.processes->snapshot(snapshot)) {
        std::set<uint32_t> monitored;
        for (const auto& record : processes_)
            if (record->seen) monitored.insert(record->processId);
        std::set<uint32_t> shells;
        for (const auto& entry : snapshot)
            if (platform::asciiLower(entry.exeName) == u"explorer.exe") shells.insert(entry.processId);
        // Repeated until a pass adds nothing, so grandchildren are found too.
        for (size_t counted = 1; counted > 0;) {
            counted = 0;
            for (const auto& entry : snapshot) {
                if (ignored.count(entry.processId) || shells.count(entry.parentId)) continue;
                if (!monitored.count(entry.parentId) || monitored.count(entry.processId)) continue;
                if (addMonitoredProcess(entry.processId)) newFound = true;
                ++counted;
                monitored.insert(entry.processId);
            }
        }
    }

    for (size_t i = processes_.size(); i-- > 0;)
        if (!processes_[i]->seen) processes_.erase(processes_.begin() + static_cast<std::ptrdiff_t>(i));

    if (newFound) newProcessState_ = 1;
    else if (newProcessState_ == -1) newProcessState_ = 0;

    if (newFound || force) initMonitoredProcessObjects();
    lastProcessRefresh_ = platform_.tick();
}
