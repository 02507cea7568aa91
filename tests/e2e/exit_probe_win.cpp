// Windows only. Runs a program and reports its exit code and how many bytes it wrote to
// standard output and standard error: "exit=<code> stdout=<n> stderr=<n>". Under Wine the exit
// code of a process is cut to 8 bits on the Linux side; this keeps all 32.
// Usage: exit_probe <program> [arguments...]  |  exit_probe --sleep <seconds>
#include "platform/win32_types.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::wstring widen(const char* s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    return w;
}

// The quoting that the C runtime's argument parser undoes.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
            line += L'"';
            backslashes = 0;
            continue;
        } else {
            backslashes = 0;
        }
        line += c;
    }
    line.append(backslashes, L'\\');
    line += L'"';
}

unsigned long drain(HANDLE pipe) {
    unsigned long total = 0;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) total += n;
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--sleep") {
        Sleep(static_cast<DWORD>(std::atoi(argv[2])) * 1000);
        return 0;
    }
    if (argc < 2) return 2;
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += L' ';
        appendQuoted(line, widen(argv[i]));
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &sa, 0);
    CreatePipe(&errRead, &errWrite, &sa, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    PROCESS_INFORMATION pi{};
    std::wstring program = widen(argv[1]);
    if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("exit=launch-failed-%lu stdout=0 stderr=0\n", GetLastError());
        return 3;
    }
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    unsigned long outBytes = 0, errBytes = 0;
    std::thread out([&] { outBytes = drain(outRead); });
    std::thread err([&] { errBytes = drain(errRead); });
    WaitForSingleObject(pi.hProcess, INFINITE);
    out.join();
    err.join();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("exit=%ld stdout=%lu stderr=%lu\n", static_cast<long>(static_cast<LONG>(code)), outBytes, errBytes);
    return 0;
}
