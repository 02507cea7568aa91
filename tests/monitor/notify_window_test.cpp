#include <gtest/gtest.h>

#include "monitor/notify_window.h"

namespace {
// The marker windows found, and whether `own` is among them.
int markerWindows(void* own = nullptr, bool* found = nullptr) {
    int n = 0;
    for (void* w = CNotifyWindow::findNextMarkerWindow(nullptr); w; w = CNotifyWindow::findNextMarkerWindow(w), ++n)
        if (found && w == own) *found = true;
    return n;
}
}  // namespace

TEST(NotifyWindowTest, FoundWhileAliveAndGoneAfterwards) {
    const int before = markerWindows();
    // A restart: one engine after the other leaves at most one window at a time.
    for (int i = 0; i < 3; ++i) {
        CNotifyWindow window;
        // Without a desktop construction and destruction must still work.
        if (!window.created()) GTEST_SKIP() << "no window system here";
        bool found = false;
        EXPECT_EQ(markerWindows(window.handle(), &found), before + 1);
        EXPECT_TRUE(found);
    }
    EXPECT_EQ(markerWindows(), before);
}
