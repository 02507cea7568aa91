// Windows only.
#include "service/console_stop.h"

#include <mutex>

#include "platform/win32_types.h"

namespace {
std::mutex g_lock;
std::function<void()> g_onStop;
// Signalled when the owner has finished its orderly stop (the CConsoleStop goes away). One for
// the process, never closed, so that a handler still waking up never waits on a stale handle.
HANDLE endedEvent() {
    static HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return ended;
}

BOOL WINAPI consoleHandler(DWORD type) { return CConsoleStop::deliver(type) ? TRUE : FALSE; }
}  // namespace

struct CConsoleStop::Impl {};

bool CConsoleStop::deliver(uint32_t type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return false;
    std::function<void()> onStop;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        onStop = g_onStop;
    }
    HANDLE ended = endedEvent();
    if (onStop) onStop();
    // Closing the console window ends the process as soon as this handler returns (and at the
    // latest some five seconds later), so the handler waits for the orderly stop, which writes
    // the resume info and the statistics.
    if (type == CTRL_CLOSE_EVENT && ended) WaitForSingleObject(ended, kCloseWaitMs);
    return true;
}

CConsoleStop::CConsoleStop(std::function<void()> onStop) : impl_(new Impl) {
    if (HANDLE ended = endedEvent()) ResetEvent(ended);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_onStop = std::move(onStop);
    }
    SetConsoleCtrlHandler(consoleHandler, TRUE);
}

CConsoleStop::~CConsoleStop() {
    if (HANDLE ended = endedEvent()) SetEvent(ended);
    SetConsoleCtrlHandler(consoleHandler, FALSE);
    std::lock_guard<std::mutex> lock(g_lock);
    g_onStop = nullptr;
}
