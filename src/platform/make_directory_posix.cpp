// POSIX only.
#include <sys/stat.h>

#include "platform/make_directory.h"
#include "platform/process_paths.h"

bool makeDirectory(const WString& path) {
    return mkdir(platform::nativePath(platform::utf16ToUtf8(path)).c_str(), 0777) == 0;
}
