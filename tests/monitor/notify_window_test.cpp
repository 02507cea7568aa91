#include <gtest/gtest.h>

#include <cstdlib>

#include "monitor/notify_window.h"

namespace {
int countMarkerWindows() {
    int n = 0;
    for (void* w = CNotifyWindow::findNextMarkerWindow(nullptr); w; w = CNotifyWindow::findNextMarkerWindow(w)) ++n;
    return n;
}
}  // namespace

TEST(NotifyWindowTest, FoundWhileAliveAndGoneAfterwards) {
    int before = countMarkerWindows();
    {
        CNotifyWindow window;
        if (!window.created()) {
            // No desktop (no window system, or Wine without a display): construction and
            // destruction must still work.
            EXPECT_EQ(window.handle(), nullptr);
            GTEST_SKIP() << "no window system here";
        }
        EXPECT_EQ(countMarkerWindows(), before + 1);
        bool found = false;
        for (void* w = CNotifyWindow::findNextMarkerWindow(nullptr); w; w = CNotifyWindow::findNextMarkerWindow(w))
            found = found || w == window.handle();
        EXPECT_TRUE(found);
    }
    EXPECT_EQ(countMarkerWindows(), before);
    // A restart: one engine after the other leaves at most one window at a time.
    for (int i = 0; i < 3; ++i) {
        CNotifyWindow again;
        EXPECT_EQ(countMarkerWindows(), before + 1);
    }
    EXPECT_EQ(countMarkerWindows(), before);
}
