// The marker window: a hidden top-level window with a fixed title, alive as long as the engine.
// Load monitoring leaves out every process that owns a window with this title, so the service's
// own process (and any companion that makes such a window) never counts as user activity.
// On platforms without a window system there is no window.
#pragma once
#include <memory>

#include "platform/text.h"

class CNotifyWindow {
public:
    // Returns once the window thread has tried to create the window.
    CNotifyWindow();
    // Ends the window's message loop and waits for its thread.
    ~CNotifyWindow();
    CNotifyWindow(const CNotifyWindow&) = delete;
    CNotifyWindow& operator=(const CNotifyWindow&) = delete;

    // True when the window exists.
    bool created() const;
    // The native window handle (HWND) or null.
    void* handle() const;

    // The next top-level window after `after` (null: the first) whose title is the marker
    // title; null when there is none.
    static void* findNextMarkerWindow(void* after);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

constexpr const char16_t* kMarkerWindowTitle = u"{342E1B3F-827D-4780-BFC0-D32A58F05FE3}";
constexpr const char16_t* kMarkerWindowClass = u"velkaris.dfrg.IgnoredProcessWindow";
