// POSIX only.
#include "engine/dfrg_thread.h"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>

#include "platform/last_error.h"
#include "platform/process_paths.h"

namespace {

std::string native(const WString& path) { return platform::nativePath(platform::utf16ToUtf8(path)); }

}  // namespace

std::FILE* openDumpFile(const WString& path) { return std::fopen(native(path).c_str(), "wb"); }

int64_t dumpFilePosition(std::FILE* file) { return static_cast<int64_t>(ftello(file)); }

bool cutDumpFile(std::FILE* file, int64_t size) {
    return std::fflush(file) == 0 && ftruncate(fileno(file), static_cast<off_t>(size)) == 0 &&
           fseeko(file, static_cast<off_t>(size), SEEK_SET) == 0;
}

bool replaceDumpFile(const WString& from, const WString& to) { return std::rename(native(from).c_str(), native(to).c_str()) == 0; }

void removeDumpFile(const WString& path) { std::remove(native(path).c_str()); }

// The signal handlers that the process entry installs serve every thread. Installing them again
// here would also hand this thread the main thread's alternate signal stack, which two threads
// cannot share.
void installWorkerCrashReport() {}

bool enterBackgroundMode() {
    sched_param none{};
    none.sched_priority = 0;
    int rc = pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
    if (rc != 0) {
        platform::setLastError(static_cast<uint32_t>(rc));
        return false;
    }
    // The idle I/O class for this thread only (who 0 with IOPRIO_WHO_PROCESS is the caller).
    constexpr int kWhoProcess = 1, kClassIdle = 3, kClassShift = 13;
    if (syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift) != 0) {
        platform::setLastError(static_cast<uint32_t>(errno));
        return false;
    }
    return true;
}
