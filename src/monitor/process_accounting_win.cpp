// Windows only: process accounting through Toolhelp and the process calls, one call each.
#include "platform/win32_types.h"
#include <objbase.h>
#include <psapi.h>
#include <tlhelp32.h>

#include "monitor/process_accounting.h"
#include "platform/handles_win.h"

namespace monitor {

namespace {

using platform::UniqueHandle;

class WinProcessHandle : public ProcessHandle {
public:
    explicit WinProcessHandle(HANDLE h) : handle(h) {}
    UniqueHandle handle;
};

HANDLE handleOf(ProcessHandle& process) { return static_cast<WinProcessHandle&>(process).handle.get(); }

uint64_t toUint64(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

class WinAccounting : public ProcessAccounting {
public:
    std::unique_ptr<ProcessHandle> open(uint32_t processId) override {
        HANDLE h = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
        if (!h) return nullptr;
        return std::make_unique<WinProcessHandle>(h);
    }

    bool times(ProcessHandle& process, ProcessTimes& out) override {
        FILETIME creation, exit, kernel, user;
        if (!GetProcessTimes(handleOf(process), &creation, &exit, &kernel, &user)) return false;
        out.kernel = toUint64(kernel);
        out.user = toUint64(user);
        return true;
    }

    bool ioCounts(ProcessHandle& process, IoCounts& out) override {
        IO_COUNTERS io;
        if (!GetProcessIoCounters(handleOf(process), &io)) return false;
        out.read = io.ReadTransferCount;
        out.write = io.WriteTransferCount;
        out.other = io.OtherTransferCount;
        return true;
    }

    bool pageFaults(ProcessHandle& process, uint64_t& count) override {
        PROCESS_MEMORY_COUNTERS counters;
        counters.cb = sizeof counters;
        if (!GetProcessMemoryInfo(handleOf(process), &counters, sizeof counters)) return false;
        count = counters.PageFaultCount;
        return true;
    }

    uint64_t fileTimeNow() override {
        FILETIME now;
        CoFileTimeNow(&now);
        return toUint64(now);
    }

    bool snapshot(std::vector<ProcessEntry>& out) override {
        UniqueHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snap) return false;
        out.clear();
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snap.get(), &entry); more; more = Process32NextW(snap.get(), &entry)) {
            out.push_back({entry.th32ProcessID, entry.th32ParentProcessID,
                           WString(reinterpret_cast<const char16_t*>(entry.szExeFile))});
        }
        return true;
    }

    WaitProbe probeRunning(uint32_t processId) override {
        WaitProbe probe;
        UniqueHandle h(OpenProcess(SYNCHRONIZE, FALSE, processId));
        if (!h) {
            probe.openError = GetLastError();
            return probe;
        }
        probe.opened = true;
        probe.timedOut = WaitForSingleObject(h.get(), 0) == WAIT_TIMEOUT;
        return probe;
    }
};

}  // namespace

std::shared_ptr<ProcessAccounting> systemProcessAccounting() {
    static const std::shared_ptr<ProcessAccounting> instance = std::make_shared<WinAccounting>();
    return instance;
}

}  // namespace monitor
