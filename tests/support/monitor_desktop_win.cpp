// Windows only.
#include "platform/win32_types.h"
#include "support/monitor_desktop_win.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

const char* const kScript = R"(export PATH=/usr/local/bin:/usr/bin:/bin:$PATH
out=$1; exe=$2; filter=$3
if ! command -v Xvfb >/dev/null 2>&1; then echo 77 >"$out/rc.tmp"; mv "$out/rc.tmp" "$out/rc"; exit 0; fi
n=90
while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n+1)); done
Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
x=$!
src=${WINEPREFIX:-$HOME/.wine}
p=$(mktemp -d /tmp/vds-monitor-desktop.XXXXXX)
for f in "$src"/*; do ln -s "$f" "$p/"; done
rm -f "$p"/*.reg
cp -p "$src"/*.reg "$p"/
cp -p "$src"/.update-timestamp "$p"/ 2>/dev/null
i=0
while [ ! -e /tmp/.X11-unix/X$n ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
DISPLAY=:$n WINEPREFIX=$p WINEDEBUG=-all VDS_MONITOR_DESKTOP_CHILD=1 wine "$exe" --gtest_filter="$filter" >"$out/log" 2>&1
rc=$?
WINEPREFIX=$p wineserver -k >/dev/null 2>&1
WINEPREFIX=$p wineserver -w >/dev/null 2>&1
kill $x 2>/dev/null
wait $x 2>/dev/null
rm -rf "$p"
echo $rc >"$out/rc.tmp"
mv "$out/rc.tmp" "$out/rc"
)";

using UnixNameFn = char*(CDECL*)(LPCWSTR);

std::string toUnix(UnixNameFn fn, const std::wstring& path) {
    char* name = fn(path.c_str());
    if (!name) return {};
    std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

std::string readAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

bool monitorDesktopAvailable() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) return false;
    DestroyWindow(probe);
    return true;
}

bool isMonitorDesktopChild() { return std::getenv("VDS_MONITOR_DESKTOP_CHILD") != nullptr; }

DesktopRun runMonitorTestsOnPrivateDisplay(const std::string& gtestFilter) {
    DesktopRun run;
    auto toUnixName = reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!toUnixName) {
        run.whyNot = "no desktop, and not running under Wine";
        return run;
    }
    wchar_t exe[MAX_PATH];
    wchar_t temp[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, exe, MAX_PATH) || !GetTempPathW(MAX_PATH, temp)) {
        run.whyNot = "cannot name the test program or the temporary directory";
        return run;
    }
    const std::wstring dir = std::wstring(temp) + L"vds-monitor-desktop-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring script = dir + L"\\run.sh";
    const std::wstring rcFile = dir + L"\\rc";
    const std::wstring logFile = dir + L"\\log";
    DeleteFileW(rcFile.c_str());
    std::ofstream(script.c_str(), std::ios::binary) << kScript;

    const std::string command = "/bin/sh \"" + toUnix(toUnixName, script) + "\" \"" + toUnix(toUnixName, dir) + "\" \"" +
                                toUnix(toUnixName, exe) + "\" \"" + gtestFilter + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string mutableCommand = command;
    if (!CreateProcessA(nullptr, &mutableCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        run.whyNot = "cannot start /bin/sh";
        return run;
    }
    if (info.hThread) CloseHandle(info.hThread);
    if (info.hProcess) CloseHandle(info.hProcess);

    // A Unix child cannot be waited on from here; it leaves its exit code in a file.
    for (int i = 0; i < 1800 && GetFileAttributesW(rcFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    const std::string rc = readAll(rcFile);
    run.output = readAll(logFile);
    DeleteFileW(script.c_str());
    DeleteFileW(rcFile.c_str());
    DeleteFileW(logFile.c_str());
    RemoveDirectoryW(dir.c_str());
    if (rc.empty()) {
        run.ran = true;
        run.output += "\n(the child run did not finish)";
        return run;
    }
    run.exitCode = std::atoi(rc.c_str());
    if (run.exitCode == 77) {
        run.ran = false;
        run.whyNot = "Xvfb is not installed";
        return run;
    }
    run.ran = true;
    return run;
}
