// POSIX only.
#include "engine/dfrg_thread.h"

#include <sys/types.h>
#include <unistd.h>

#include <cstdio>

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
