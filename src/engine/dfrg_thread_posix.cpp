// POSIX only.
#include "engine/dfrg_thread.h"

#include "platform/process_paths.h"

std::FILE* openDumpFile(const WString& path) {
    return std::fopen(platform::nativePath(platform::utf16ToUtf8(path)).c_str(), "wb");
}
