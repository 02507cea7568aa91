#include "support/monitor_fakes.h"

#include <algorithm>

#include "platform/last_error.h"
#include "platform/win32_types.h"

namespace fakes {

namespace {

class Handle : public monitor::ProcessHandle {
public:
    explicit Handle(uint32_t id) : processId(id) {}
    uint32_t processId;
};

class Connection : public monitor::PrinterConnection {
public:
    explicit Connection(const Printer* p) : printer(p) {}
    const Printer* printer;
};

bool fail(uint32_t error) {
    platform::setLastError(error);
    return false;
}

}  // namespace

// --- processes

Process& Processes::add(uint32_t id, uint32_t parent, const WString& exe) {
    Process& p = table[id];
    p.parentId = parent;
    p.exeName = exe;
    return p;
}

std::unique_ptr<monitor::ProcessHandle> Processes::open(uint32_t processId) {
    ++openCalls[processId];
    auto it = table.find(processId);
    const uint32_t error = it == table.end() ? ERROR_INVALID_PARAMETER : it->second.openError;
    if (error != 0) {
        platform::setLastError(error);
        return nullptr;
    }
    return std::make_unique<Handle>(processId);
}

bool Processes::times(monitor::ProcessHandle& process, monitor::ProcessTimes& out) {
    const Process& p = table.at(static_cast<Handle&>(process).processId);
    if (p.timesError) return fail(p.timesError);
    out = p.times;
    return true;
}

bool Processes::ioCounts(monitor::ProcessHandle& process, monitor::IoCounts& out) {
    const Process& p = table.at(static_cast<Handle&>(process).processId);
    if (p.ioError) return fail(p.ioError);
    out = p.io;
    return true;
}

bool Processes::pageFaults(monitor::ProcessHandle& process, uint64_t& count) {
    const Process& p = table.at(static_cast<Handle&>(process).processId);
    if (p.faultsError) return fail(p.faultsError);
    count = p.faults;
    return true;
}

bool Processes::snapshot(std::vector<monitor::ProcessEntry>& out) {
    if (snapshotFails) return fail(ERROR_NOT_ENOUGH_MEMORY);
    out.clear();
    for (const auto& [id, p] : table)
        if (p.listed) out.push_back({id, p.parentId, p.exeName});
    return true;
}

monitor::WaitProbe Processes::probeRunning(uint32_t processId) {
    auto it = table.find(processId);
    if (it == table.end()) return {false, ERROR_INVALID_PARAMETER, false};
    return it->second.probe;
}

// --- windows

Window& Windows::add(monitor::WindowId id, uint32_t owner) {
    Window w;
    w.id = id;
    w.owner = owner;
    zOrder.push_back(w);
    return zOrder.back();
}

const Window* Windows::find(monitor::WindowId w) const {
    for (const auto& window : zOrder)
        if (window.id == w) return &window;
    return nullptr;
}

monitor::WindowId Windows::windowFromPoint(int32_t x, int32_t y) {
    askedX = x;
    askedY = y;
    return atPoint;
}

uint32_t Windows::windowStyle(monitor::WindowId w) {
    const Window* window = find(w);
    return window ? window->style : 0;
}

monitor::WindowId Windows::parent(monitor::WindowId w) {
    const Window* window = find(w);
    return window ? window->parent : 0;
}

bool Windows::windowRect(monitor::WindowId w, monitor::WindowRect& rect) {
    if (w == desktop) {
        rect = {0, 0, width, height};
        return true;
    }
    const Window* window = find(w);
    if (!window) return false;
    rect = window->rect;
    return true;
}

bool Windows::className(monitor::WindowId w, size_t bufferChars, std::string& name) {
    const Window* window = find(w);
    if (!window || window->className.empty() || bufferChars < 2) return false;
    name = window->className.substr(0, bufferChars - 1);  // cut as a fixed buffer cuts it
    return true;
}

bool Windows::windowProcessId(monitor::WindowId w, uint32_t& processId) {
    const Window* window = find(w);
    if (!window || window->owner == 0) return false;
    processId = window->owner;
    return true;
}

monitor::WindowId Windows::topWindow() {
    ++walks;
    return zOrder.empty() ? 0 : zOrder.front().id;
}

monitor::WindowId Windows::nextWindow(monitor::WindowId w) {
    for (size_t i = 0; i + 1 < zOrder.size(); ++i)
        if (zOrder[i].id == w) return zOrder[i + 1].id;
    return 0;
}

bool Windows::isWindowVisible(monitor::WindowId w) {
    const Window* window = find(w);
    return window && window->visible;
}

bool Windows::isOnMonitor(monitor::WindowId w) {
    const Window* window = find(w);
    return window && window->onMonitor;
}

monitor::WindowId Windows::findWindowByTitle(monitor::WindowId after, const WString& title) {
    bool passed = after == 0;
    for (const auto& window : zOrder) {
        if (passed && window.title == title) return window.id;
        if (window.id == after) passed = true;
    }
    return 0;
}

bool Windows::screenSaverRunning(bool& running) {
    if (!saverQueryWorks) return false;
    running = saverRunning;
    return true;
}

// --- power and printers

bool Power::read(monitor::PowerStatus& out) {
    if (!works) return false;
    out = status;
    return true;
}

bool Spooler::printerListSize(uint32_t& needed) {
    ++sizeRequests;
    if (printers.empty()) {
        needed = 0;
        return true;
    }
    needed = static_cast<uint32_t>(printers.size() * 136);
    return fail(listError);
}

bool Spooler::readPrinterList(uint32_t, std::vector<monitor::PrinterEntry>& out) {
    if (readFails) return fail(ERROR_INVALID_PARAMETER);
    out.clear();
    for (const auto& p : printers) out.push_back({p.name, p.status, static_cast<uint32_t>(p.jobStates.size())});
    return true;
}

std::unique_ptr<monitor::PrinterConnection> Spooler::open(const std::string& name) {
    opened.push_back(name);
    for (const auto& p : printers) {
        if (p.name == name && p.opens) return std::make_unique<Connection>(&p);
    }
    platform::setLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

bool Spooler::jobSize(monitor::PrinterConnection& printer, uint32_t index, uint32_t& needed) {
    const Printer& p = *static_cast<Connection&>(printer).printer;
    if (index >= p.jobStates.size()) {
        needed = 0;
        return true;
    }
    needed = 64;
    return fail(ERROR_INSUFFICIENT_BUFFER);
}

bool Spooler::readJob(monitor::PrinterConnection& printer, uint32_t index, uint32_t, uint32_t& status) {
    const Printer& p = *static_cast<Connection&>(printer).printer;
    status = p.jobStates.at(index);
    return true;
}

MonitorPlatform Machine::platform() const {
    MonitorPlatform p;
    p.processes = processes;
    p.windows = windows;
    p.power = power;
    p.printers = spooler;
    auto t = tick;
    p.tick = [t] { return *t; };
    return p;
}

void Machine::addWindowed(uint32_t processId, monitor::WindowId window) {
    if (!processes->table.count(processId)) processes->add(processId);
    windows->add(window, processId);
}

// --- WMI

// Property handles are the same for every object of a class, as WMI's are.
std::vector<WString>& WmiObject::handleNames() {
    static std::vector<WString> names;
    return names;
}

monitor::HResult WmiObject::propertyHandle(const WString& name, int32_t& handle) {
    if (missing.count(name)) return monitor::kWbemNotFound;
    auto& names = handleNames();
    auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) it = names.insert(names.end(), name);
    handle = static_cast<int32_t>(it - names.begin()) + 1;
    return monitor::kResultOk;
}

monitor::HResult WmiObject::readDword(int32_t handle, uint32_t& value) {
    uint64_t v = 0;
    const monitor::HResult hr = readQword(handle, v);
    value = static_cast<uint32_t>(v);
    return hr;
}

monitor::HResult WmiObject::readQword(int32_t handle, uint64_t& value) {
    const auto& names = handleNames();
    if (handle < 1 || static_cast<size_t>(handle) > names.size()) return static_cast<monitor::HResult>(0x80070057u);
    const WString& name = names[static_cast<size_t>(handle) - 1];
    if (failing.count(name)) return static_cast<monitor::HResult>(0x80041001u);
    value = values[name];
    return monitor::kResultOk;
}

std::shared_ptr<WmiObject> WmiState::addDisk(uint64_t idle, uint64_t base) {
    auto disk = std::make_shared<WmiObject>();
    disk->values[u"PercentIdleTime"] = idle;
    disk->values[u"PercentIdleTime_Base"] = base;
    disks.push_back(disk);
    return disk;
}

std::shared_ptr<WmiObject> WmiState::addProcess(uint32_t processId, uint64_t time, uint64_t stamp) {
    auto object = std::make_shared<WmiObject>();
    object->values[u"IDProcess"] = processId;
    object->values[u"PercentProcessorTime"] = time;
    object->values[u"TimeStamp_Sys100NS"] = stamp;
    processes.push_back(object);
    return object;
}

std::shared_ptr<WmiObject> WmiState::process(uint32_t processId) {
    for (auto& p : processes)
        if (p->values[u"IDProcess"] == processId) return p;
    return nullptr;
}

namespace {

class Wmi : public monitor::WmiCounters {
public:
    explicit Wmi(std::shared_ptr<WmiState> state) : state_(std::move(state)) {}
    ~Wmi() override { state_->destroyed = true; }

    monitor::HResult initialiseCom() override { return result("initialiseCom"); }
    monitor::HResult initialiseSecurity() override { return result("initialiseSecurity"); }
    monitor::HResult createLocator() override { return result("createLocator"); }
    monitor::HResult connect(const WString&) override { return result("connect"); }
    monitor::HResult createRefresher() override { return result("createRefresher"); }
    monitor::HResult configureRefresher() override { return result("configureRefresher"); }
    monitor::HResult addEnum(const WString& className, int32_t& id) override {
        if (monitor::HResult hr = result("addEnum"); hr != monitor::kResultOk) return hr;
        ++state_->enumsAdded[className];
        id = ++nextId_;
        classes_[id] = className;
        return monitor::kResultOk;
    }
    monitor::HResult removeEnum(int32_t id) override {
        ++state_->enumsRemoved;
        classes_.erase(id);
        return monitor::kResultOk;
    }
    monitor::HResult refresh() override {
        ++state_->refreshes;
        return result("refresh");
    }
    monitor::HResult objects(int32_t id, std::vector<monitor::WmiObjectRef>& out) override {
        if (monitor::HResult hr = result("objects"); hr != monitor::kResultOk) return hr;
        out.clear();
        const auto& list = classes_.at(id) == u"Win32_PerfRawData_PerfDisk_PhysicalDisk" ? state_->disks : state_->processes;
        out.assign(list.begin(), list.end());
        return monitor::kResultOk;
    }

private:
    monitor::HResult result(const std::string& call) const {
        auto it = state_->failures.find(call);
        return it == state_->failures.end() ? monitor::kResultOk : it->second;
    }

    std::shared_ptr<WmiState> state_;
    int32_t nextId_ = 0;
    std::map<int32_t, WString> classes_;
};

}  // namespace

std::unique_ptr<monitor::WmiCounters> makeWmi(std::shared_ptr<WmiState> state) { return std::make_unique<Wmi>(std::move(state)); }

}  // namespace fakes
