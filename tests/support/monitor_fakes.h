// Fakes of the load samplers' platform services and a tick the test moves. Failing calls set the
// thread's last error as the real ones do.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "monitor/monitor_platform.h"
#include "platform/last_error.h"

namespace fakes {

inline bool fail(uint32_t error) { return platform::setLastError(error), false; }

struct Process {
    uint32_t parentId = 0;
    WString exeName = u"app.exe";
    uint32_t openError = 0, timesError = 0, ioError = 0, faultsError = 0;  // non-zero: the call fails
    monitor::ProcessTimes times;
    monitor::IoCounts io;
    uint64_t faults = 0;
};

class Processes : public monitor::ProcessAccounting {
public:
    using Ref = monitor::ProcessHandle&;
    struct Handle : monitor::ProcessHandle {
        explicit Handle(uint32_t i) : id(i) {}
        uint32_t id;
    };
    std::map<uint32_t, Process> table;
    uint64_t now = 130000000000000000ull;
    bool snapshotFails = false;
    std::map<uint32_t, int> openCalls;

    Process& add(uint32_t id, uint32_t parent = 0, const WString& exe = u"app.exe") {
        return table[id].parentId = parent, table[id].exeName = exe, table[id];
    }
    std::unique_ptr<monitor::ProcessHandle> open(uint32_t id) override {
        const uint32_t error = (++openCalls[id], table.count(id) ? table[id].openError : 87);
        return error ? (fail(error), nullptr) : std::make_unique<Handle>(id);
    }
    bool times(Ref h, monitor::ProcessTimes& out) override { return read(of(h).timesError, of(h).times, out); }
    bool ioCounts(Ref h, monitor::IoCounts& out) override { return read(of(h).ioError, of(h).io, out); }
    bool pageFaults(Ref h, uint64_t& out) override { return read(of(h).faultsError, of(h).faults, out); }
    uint64_t fileTimeNow() override { return now; }
    bool snapshot(std::vector<monitor::ProcessEntry>& out) override {
        if (snapshotFails) return fail(8);
        out.clear();
        for (const auto& [id, p] : table) out.push_back({id, p.parentId, p.exeName});
        return true;
    }
    monitor::WaitProbe probeRunning(uint32_t) override { return {true, 0, true}; }

private:
    const Process& of(Ref h) { return table.at(static_cast<Handle&>(h).id); }
    template <class T>
    static bool read(uint32_t error, const T& value, T& out) { return error ? fail(error) : (out = value, true); }
};

struct Window {
    monitor::WindowId id = 0;
    uint32_t owner = 0;  // 0: unreadable
    bool visible = true, onMonitor = true;
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
    monitor::WindowId desktop = 1, atPoint = 0;
    int32_t askedX = -1, askedY = -1;
    int walks = 0;

    Window& add(monitor::WindowId id, uint32_t owner) {
        zOrder.emplace_back();
        return zOrder.back().id = id, zOrder.back().owner = owner, zOrder.back();
    }
    void screenSize(int32_t& w, int32_t& h) override { w = width, h = height; }
    monitor::WindowId windowFromPoint(int32_t x, int32_t y) override { return askedX = x, askedY = y, atPoint; }
    uint32_t windowStyle(monitor::WindowId w) override { return at(w).style; }
    monitor::WindowId parent(monitor::WindowId w) override { return at(w).parent; }
    monitor::WindowId desktopWindow() override { return desktop; }
    bool windowRect(monitor::WindowId w, monitor::WindowRect& rect) override {
        rect = w == desktop ? monitor::WindowRect{0, 0, width, height} : at(w).rect;
        return w == desktop || at(w).id;
    }
    bool className(monitor::WindowId w, size_t chars, std::string& name) override {
        name = at(w).className.substr(0, chars - 1);  // cut as the fixed buffer cuts it
        return !at(w).className.empty();
    }
    bool windowProcessId(monitor::WindowId w, uint32_t& id) override { return (id = at(w).owner) != 0; }
    monitor::WindowId topWindow() override { return ++walks, zOrder.empty() ? 0 : zOrder[0].id; }
    monitor::WindowId nextWindow(monitor::WindowId w) override {
        for (size_t i = 0; i + 1 < zOrder.size(); ++i)
            if (zOrder[i].id == w) return zOrder[i + 1].id;
        return 0;
    }
    bool isWindowVisible(monitor::WindowId w) override { return at(w).visible; }
    bool isOnMonitor(monitor::WindowId w) override { return at(w).onMonitor; }
    monitor::WindowId findWindowByTitle(monitor::WindowId after, const WString& title) override {
        bool passed = after == 0;
        for (const auto& w : zOrder) {
            if (passed && w.title == title) return w.id;
            passed = passed || w.id == after;
        }
        return 0;
    }
    bool screenSaverRunning(bool& running) override { return running = false, true; }

private:
    const Window& at(monitor::WindowId w) const {
        static const Window none{0, 0, false, false, "", {}, {}, 0, 0};
        for (const auto& window : zOrder)
            if (window.id == w) return window;
        return none;
    }
};

class Power : public monitor::PowerSource {
public:
    bool works = true;
    monitor::PowerStatus status{1, 128};
    bool read(monitor::PowerStatus& out) override { return works && (out = status, true); }
};

struct Printer {
    std::string name;
    uint32_t status = 0;
    std::vector<uint32_t> jobStates;
    bool opens = true;
};

class Spooler : public monitor::PrintSpooler {
public:
    using Ref = monitor::PrinterConnection&;
    struct Connection : monitor::PrinterConnection {
        explicit Connection(const Printer* p) : printer(p) {}
        const Printer* printer;
    };
    std::vector<Printer> printers;
    bool readFails = false;
    uint32_t jobError = 122;  // a job's size query: 122 asks for a bigger buffer, as it should
    int sizeRequests = 0;
    std::vector<std::string> opened;

    bool printerListSize(uint32_t& needed) override {
        ++sizeRequests;
        needed = static_cast<uint32_t>(printers.size() * 136);
        return printers.empty() || fail(122);
    }
    bool readPrinterList(uint32_t, std::vector<monitor::PrinterEntry>& out) override {
        if (readFails) return fail(87);
        out.clear();
        for (const auto& p : printers) out.push_back({p.name, p.status, static_cast<uint32_t>(p.jobStates.size())});
        return true;
    }
    std::unique_ptr<monitor::PrinterConnection> open(const std::string& name) override {
        opened.push_back(name);
        for (const auto& p : printers)
            if (p.name == name && p.opens) return std::make_unique<Connection>(&p);
        return fail(87), nullptr;
    }
    bool jobSize(Ref c, uint32_t index, uint32_t& needed) override {
        needed = index < jobs(c).size() ? 64 : 0;
        return needed == 0 || fail(jobError);
    }
    bool readJob(Ref c, uint32_t i, uint32_t, uint32_t& s) override { return s = jobs(c).at(i), true; }

private:
    static const std::vector<uint32_t>& jobs(Ref c) { return static_cast<Connection&>(c).printer->jobStates; }
};

struct Machine {
    std::shared_ptr<Processes> processes = std::make_shared<Processes>();
    std::shared_ptr<Windows> windows = std::make_shared<Windows>();
    std::shared_ptr<Power> power = std::make_shared<Power>();
    std::shared_ptr<Spooler> spooler = std::make_shared<Spooler>();
    std::shared_ptr<uint32_t> tick = std::make_shared<uint32_t>(100000);

    MonitorPlatform platform() const { return {processes, windows, power, spooler, [t = tick] { return *t; }, {}, {}}; }
    void advance(uint32_t ms) { *tick += ms; }
    void addWindowed(uint32_t id, monitor::WindowId window) {
        if (!processes->table.count(id)) processes->add(id);
        windows->add(window, id);
    }
};

}  // namespace fakes
