// While alive, a stop from the console (Ctrl+C or Ctrl+Break on Windows; SIGINT or SIGTERM
// elsewhere) calls `onStop` on a thread of its own instead of killing the process, so that a
// foreground run ends in order, as a service stop does.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

class CConsoleStop {
public:
    explicit CConsoleStop(std::function<void()> onStop);
    ~CConsoleStop();
    CConsoleStop(const CConsoleStop&) = delete;
    CConsoleStop& operator=(const CConsoleStop&) = delete;

    // Windows: the console control handler (public for tests). Ctrl+C, Ctrl+Break and closing
    // the console window call onStop; on a close it also waits, at most kCloseWaitMs, until the
    // object is destroyed, since the process ends as soon as the handler returns. False for an
    // event it does not handle. Elsewhere it handles nothing.
    static bool deliver(uint32_t consoleEvent);
    static constexpr uint32_t kCloseWaitMs = 4500;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
