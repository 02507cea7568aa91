// Linux only: process accounting from /proc/<pid>/stat and /proc/<pid>/io.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "monitor/proc_files.h"
#include "monitor/process_accounting.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/handles_posix.h"
#include "platform/win32_types.h"

namespace monitor {

namespace {

constexpr uint32_t kErrorGenFailure = 31;

using platform::UniqueFd;

// The Windows error codes that OpenProcess and the queries give in the same situations.
uint32_t errorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ESRCH: return ERROR_INVALID_PARAMETER;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return kErrorGenFailure;
    }
}

std::string procPath(uint32_t pid, const char* file) { return "/proc/" + std::to_string(pid) + "/" + file; }

// Reads the whole file from its start again; the kernel builds the text anew for every read.
bool readFd(int fd, std::string& text) {
    char buffer[4096];
    text.clear();
    for (off_t offset = 0;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            platform::setLastError(errorFromErrno(errno));
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
}

bool readFile(const std::string& path, std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    return readFd(fd.get(), text);
}

uint64_t ticksPerSecond() {
    static const uint64_t value = [] {
        const long hz = sysconf(_SC_CLK_TCK);
        return hz > 0 ? static_cast<uint64_t>(hz) : uint64_t(100);
    }();
    return value;
}

// The files stay open, so a reused process id cannot slip another process under the handle:
// once the process is gone, reads fail.
class ProcProcessHandle : public ProcessHandle {
public:
    UniqueFd stat;
    UniqueFd io;
};

class ProcAccounting : public ProcessAccounting {
public:
    std::unique_ptr<ProcessHandle> open(uint32_t processId) override {
        auto handle = std::make_unique<ProcProcessHandle>();
        handle->stat.reset(::open(procPath(processId, "stat").c_str(), O_RDONLY | O_CLOEXEC));
        if (!handle->stat) return fail(errno);
        handle->io.reset(::open(procPath(processId, "io").c_str(), O_RDONLY | O_CLOEXEC));
        if (!handle->io) return fail(errno);
        // The io file opens for anyone but is readable only for processes we may trace, like
        // a process handle that only some callers get.
        std::string text;
        if (!readFd(handle->io.get(), text)) return nullptr;
        return handle;
    }

    bool times(ProcessHandle& process, ProcessTimes& out) override {
        ProcStat stat;
        if (!readStat(process, stat)) return false;
        out.kernel = clockTicksTo100ns(stat.systemTicks, ticksPerSecond());
        out.user = clockTicksTo100ns(stat.userTicks, ticksPerSecond());
        return true;
    }

    bool ioCounts(ProcessHandle& process, IoCounts& out) override {
        std::string text;
        if (!readFd(static_cast<ProcProcessHandle&>(process).io.get(), text)) return false;
        ProcIo io;
        if (!parseProcIo(text, io)) {
            platform::setLastError(kErrorGenFailure);
            return false;
        }
        out.read = io.readChars;
        out.write = io.writeChars;
        out.other = 0;
        return true;
    }

    bool pageFaults(ProcessHandle& process, uint64_t& count) override {
        ProcStat stat;
        if (!readStat(process, stat)) return false;
        count = stat.minorFaults + stat.majorFaults;
        return true;
    }

    uint64_t fileTimeNow() override { return platform::fileTimeNow(); }

    bool snapshot(std::vector<ProcessEntry>& out) override {
        std::vector<ProcStat> stats;
        if (!readAllProcStats(stats)) return false;
        out.clear();
        for (const ProcStat& stat : stats)
            out.push_back({stat.processId, stat.parentId, platform::utf8ToUtf16(stat.command)});
        return true;
    }

    WaitProbe probeRunning(uint32_t processId) override {
        WaitProbe probe;
        if (kill(static_cast<pid_t>(processId), 0) != 0 && errno != EPERM) {
            probe.openError = errorFromErrno(errno);
            return probe;
        }
        probe.opened = true;
        // A zombie has ended; only its parent has not collected it yet.
        std::string text;
        ProcStat stat;
        probe.timedOut = readFile(procPath(processId, "stat"), text) && parseProcStat(text, stat) && stat.state != 'Z';
        return probe;
    }

private:
    static std::unique_ptr<ProcessHandle> fail(int error) {
        platform::setLastError(errorFromErrno(error));
        return nullptr;
    }

    static bool readStat(ProcessHandle& process, ProcStat& stat) {
        std::string text;
        if (!readFd(static_cast<ProcProcessHandle&>(process).stat.get(), text)) return false;
        if (!parseProcStat(text, stat)) {
            platform::setLastError(kErrorGenFailure);
            return false;
        }
        return true;
    }
};

}  // namespace

bool readAllProcStats(std::vector<ProcStat>& stats) {
    DIR* dir = opendir("/proc");
    if (!dir) {
        platform::setLastError(errorFromErrno(errno));
        return false;
    }
    stats.clear();
    while (dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == 0) continue;
        std::string text;
        ProcStat stat;
        if (readFile(procPath(static_cast<uint32_t>(pid), "stat"), text) && parseProcStat(text, stat)) stats.push_back(stat);
    }
    closedir(dir);
    return true;
}

std::shared_ptr<ProcessAccounting> systemProcessAccounting() {
    static const std::shared_ptr<ProcessAccounting> instance = std::make_shared<ProcAccounting>();
    return instance;
}

}  // namespace monitor
