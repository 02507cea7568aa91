// POSIX only.
#include "engine/dfrg_thread.h"

#include "platform/process_paths.h"

std::FILE* openDumpFile(const WString& path) {
    return std::fopen(platform::nativePath(platform::utf16ToUtf8(path)).c_str(), "wb");
}

// The signal handlers that the process entry installs serve every thread. Installing them again
// here would also hand this thread the main thread's alternate signal stack, which two threads
// cannot share.
void installWorkerCrashReport() {}
