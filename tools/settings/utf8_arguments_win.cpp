// Windows only: argv is in the ANSI code page, which cannot hold every path; the wide command
// line can.
#include "settings/utf8_arguments.h"

#include "platform/text.h"
#include "platform/win32_types.h"

#include <shellapi.h>

namespace settings {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv + 1, argv + argc);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(platform::utf16ToUtf8(WString(reinterpret_cast<const char16_t*>(wide[i]))));
    LocalFree(wide);
    return args;
}

}  // namespace settings
