// Windows only. Under Wine the exit code of a process is cut to 8 bits on the Linux side.
//   exit_probe PROGRAM [ARGS...]  prints "exit=<all 32 bits> out=<bytes on stdout and stderr>"
//   exit_probe --raw "LINE"       runs the line as a console does ("/D=C:\A Folder" stays
//                                 unquoted for an installer); exits with its code
//   exit_probe --sleep SECONDS
//   exit_probe --fullscreen SECONDS  shows a borderless window over the whole screen, as a game
//                                 or a slide show does
#include "platform/win32_types.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--sleep") == 0) {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])) * 1000);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--fullscreen") == 0) {
        // A class of its own: a static control answers hit tests as transparent, so the window
        // under the screen's centre would be the one below it.
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        wc.lpszClassName = L"VelkarisFullScreen";
        if (!RegisterClassW(&wc)) return 3;
        HWND w = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"Velkaris full screen", WS_POPUP | WS_VISIBLE, 0, 0,
                                 GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                                 nullptr, nullptr);
        if (!w) return 3;
        const DWORD end = GetTickCount() + static_cast<DWORD>(std::atoi(argv[2])) * 1000;
        for (MSG m; static_cast<LONG>(end - GetTickCount()) > 0;) {
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            Sleep(50);
        }
        DestroyWindow(w);
        return 0;
    }
    if (argc < 2) return 2;
    const bool raw = std::strcmp(argv[1], "--raw") == 0;
    std::wstring line = GetCommandLineW();
    if (raw) {
        int count = 0;
        LPWSTR* args = CommandLineToArgvW(line.c_str(), &count);
        if (!args || count != 3) return 2;
        line = args[2];
        LocalFree(args);
    } else {  // the rest of this program's own command line, quoted as it came
        size_t i = line.find_first_not_of(L" \t");
        size_t end = line[i] == L'"' ? line.find(L'"', i + 1) : line.find_first_of(L" \t", i);
        line = line.substr(line.find_first_not_of(L" \t", end + 1));
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!raw && CreatePipe(&read, &write, &sa, 0)) SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = raw ? GetStdHandle(STD_OUTPUT_HANDLE) : write;
    si.hStdError = raw ? GetStdHandle(STD_ERROR_HANDLE) : write;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("exit=launch-failed-%lu out=0\n", GetLastError());
        return 3;
    }
    unsigned long total = 0;
    char buffer[4096];
    DWORD n = 0;
    if (!raw) CloseHandle(write);
    while (!raw && ReadFile(read, buffer, sizeof buffer, &n, nullptr) && n > 0) total += n;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    if (raw) return static_cast<int>(code);
    std::printf("exit=%ld out=%lu\n", static_cast<long>(static_cast<LONG>(code)), total);
    return 0;
}
