// Per-process accounting as the load samplers need it: opening a process, its cumulative
// processor time, transferred bytes and page faults, a list of all processes with their parents,
// and whether a process still runs. Failing calls return false (or null) and leave the error
// code in the thread's last error (platform::lastError), as the Windows calls do.
// Implementations keep no state between calls, so any thread may use them.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace monitor {

// An open process; closing it is the destructor's job.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
};

// Cumulative processor time in 100-ns units.
struct ProcessTimes {
    uint64_t kernel = 0;
    uint64_t user = 0;
};

// Cumulative transferred bytes.
struct IoCounts {
    uint64_t read = 0;
    uint64_t write = 0;
    uint64_t other = 0;
};

struct ProcessEntry {
    uint32_t processId = 0;
    uint32_t parentId = 0;
    WString exeName;  // file name only, e.g. u"explorer.exe"
};

// The outcome of opening a process for waiting and waiting on it with a zero time-out.
struct WaitProbe {
    bool opened = false;
    uint32_t openError = 0;  // the error code when not opened
    bool timedOut = false;   // when opened: the wait timed out (the process has not ended)
};

class ProcessAccounting {
public:
    virtual ~ProcessAccounting() = default;

    // Opens a process for querying; null with the last error set on failure.
    virtual std::unique_ptr<ProcessHandle> open(uint32_t processId) = 0;
    virtual bool times(ProcessHandle& process, ProcessTimes& out) = 0;
    virtual bool ioCounts(ProcessHandle& process, IoCounts& out) = 0;
    virtual bool pageFaults(ProcessHandle& process, uint64_t& count) = 0;
    // The wall clock in 100-ns units (FILETIME), the time base of the rates.
    virtual uint64_t fileTimeNow() = 0;
    // Every process of the machine; false when no list could be taken.
    virtual bool snapshot(std::vector<ProcessEntry>& out) = 0;
    virtual WaitProbe probeRunning(uint32_t processId) = 0;
};

// The platform's accounting: Toolhelp and the process calls on Windows, /proc elsewhere.
std::shared_ptr<ProcessAccounting> systemProcessAccounting();

}  // namespace monitor
