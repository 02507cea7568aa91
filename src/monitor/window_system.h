// The window and monitor queries of the environment probes, one call each. Window ids are
// opaque; 0 is "no window". A failing query answers 0 / false. Implementations keep no state
// that a caller could observe, so any thread may use them.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/text.h"

namespace monitor {

using WindowId = uintptr_t;

constexpr uint32_t kWindowStyleChild = 0x40000000u;  // WS_CHILD

struct WindowRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Width and height of the primary screen in pixels (0 when unknown).
    virtual void screenSize(int32_t& width, int32_t& height) = 0;
    virtual WindowId windowFromPoint(int32_t x, int32_t y) = 0;
    virtual uint32_t windowStyle(WindowId window) = 0;
    virtual WindowId parent(WindowId window) = 0;
    virtual WindowId desktopWindow() = 0;
    virtual bool windowRect(WindowId window, WindowRect& rect) = 0;
    // The class name as read into a buffer of `bufferChars` characters including the
    // terminator, so a longer name arrives cut to bufferChars - 1 characters.
    virtual bool className(WindowId window, size_t bufferChars, std::string& name) = 0;
    // False when the owner cannot be read.
    virtual bool windowProcessId(WindowId window, uint32_t& processId) = 0;
    // The Z-order walk over the top-level windows: the top one, then each next one.
    virtual WindowId topWindow() = 0;
    virtual WindowId nextWindow(WindowId window) = 0;
    virtual bool isWindowVisible(WindowId window) = 0;
    // A monitor shows the window (no fallback to a default monitor).
    virtual bool isOnMonitor(WindowId window) = 0;
    // The next top-level window after `after` (0: from the start) whose title is `title`.
    virtual WindowId findWindowByTitle(WindowId after, const WString& title) = 0;
    // False when the query fails.
    virtual bool screenSaverRunning(bool& running) = 0;
};

// user32 on Windows. Elsewhere there is no window system: every process that has a controlling
// terminal stands for a visible top-level window of its own (window id = process id), the
// calling process carries the ignore marker, and the screen and screen saver queries answer no.
std::shared_ptr<WindowSystem> systemWindowSystem();

}  // namespace monitor
