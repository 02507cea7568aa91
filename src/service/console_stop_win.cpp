// Windows only.
#include "service/console_stop.h"

#include <mutex>

#include "platform/win32_types.h"

namespace {
std::mutex g_lock;
std::function<void()> g_onStop;

BOOL WINAPI consoleHandler(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_onStop) g_onStop();
    return TRUE;
}
}  // namespace

struct CConsoleStop::Impl {};

CConsoleStop::CConsoleStop(std::function<void()> onStop) : impl_(new Impl) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_onStop = std::move(onStop);
    }
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

CConsoleStop::~CConsoleStop() {
    SetConsoleCtrlHandler(consoleHandler, FALSE);
    std::lock_guard<std::mutex> lock(g_lock);
    g_onStop = nullptr;
}
