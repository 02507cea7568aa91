// POSIX only.
#include "engine/dfrg_thread.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/last_error.h"
#include "platform/process_paths.h"

std::FILE* openDumpFile(const WString& path) {
    return std::fopen(platform::nativePath(platform::utf16ToUtf8(path)).c_str(), "wb");
}

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
