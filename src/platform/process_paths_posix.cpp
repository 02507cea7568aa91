// POSIX only.
#include "platform/process_paths.h"

#include <climits>
#include <unistd.h>

namespace platform {

std::string executablePath() {
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0) return std::string();
    return std::string(buffer, static_cast<size_t>(n));
}

std::string executableDirectory() {
    std::string path = executablePath();
    size_t cut = path.find_last_of('/');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool setCurrentDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string currentDirectory() {
    char buffer[PATH_MAX + 1];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

char pathSeparator() { return '/'; }

std::string nativePath(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

}  // namespace platform
