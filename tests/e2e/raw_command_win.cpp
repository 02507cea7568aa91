// Windows only. Runs one command line exactly as given, as a console does: raw_command "<line>".
// Programs such as installers read their own command line ("/D=C:\A Folder" without quotes), which
// Wine would quote if the words came as separate arguments. Exits with the program's exit code.
#include "platform/win32_types.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

#include "platform/handles_win.h"

int main() {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!args || count != 2) {
        std::fprintf(stderr, "usage: raw_command \"COMMAND LINE\"\n");
        return 2;
    }
    std::wstring line = args[1];
    LocalFree(args);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // The program writes where this one writes, also when it is a GUI program.
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "raw_command: cannot start (error %lu)\n", GetLastError());
        return 2;
    }
    platform::UniqueHandle thread(process.hThread), child(process.hProcess);
    WaitForSingleObject(child.get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(child.get(), &code);
    return static_cast<int>(code);
}
