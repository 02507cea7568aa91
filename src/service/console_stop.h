// While alive, a stop from the console (Ctrl+C or Ctrl+Break on Windows; SIGINT or SIGTERM
// elsewhere) calls `onStop` on a thread of its own instead of killing the process, so that a
// foreground run ends in order, as a service stop does.
#pragma once
#include <functional>
#include <memory>

class CConsoleStop {
public:
    explicit CConsoleStop(std::function<void()> onStop);
    ~CConsoleStop();
    CConsoleStop(const CConsoleStop&) = delete;
    CConsoleStop& operator=(const CConsoleStop&) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
