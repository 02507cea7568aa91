// Windows only.
#include "platform/process_paths.h"
#include "platform/text.h"
#include "platform/win32_types.h"

#include <vector>

namespace platform {

std::string executablePath() {
    // A program may live in a folder deeper than MAX_PATH: the buffer grows until the whole
    // path fits (a full buffer means the path was cut).
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        if (n < buffer.size()) return utf16ToUtf8(WString(reinterpret_cast<const char16_t*>(buffer.data()), n));
        if (buffer.size() >= 32768) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

std::string executableDirectory() {
    std::string path = executablePath();
    size_t cut = path.find_last_of('\\');
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool setCurrentDirectory(const std::string& path) {
    WString w = utf8ToUtf16(path);
    return SetCurrentDirectoryW(reinterpret_cast<const wchar_t*>(w.c_str())) != 0;
}

std::string currentDirectory() {
    wchar_t buffer[32768];
    DWORD n = GetCurrentDirectoryW(32768, buffer);
    if (n == 0 || n >= 32768) return std::string();
    return utf16ToUtf8(WString(reinterpret_cast<const char16_t*>(buffer), n));
}

char pathSeparator() { return '\\'; }

std::string nativePath(const std::string& path) { return path; }

}  // namespace platform
