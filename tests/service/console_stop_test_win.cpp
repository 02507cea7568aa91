#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "platform/win32_types.h"
#include "service/console_stop.h"

// Closing the console ends the process when the handler returns, so the handler must not return
// before the foreground run has stopped in order (the owner destroys the object then).
TEST(ConsoleStopTest, CloseWaitsForTheOrderlyStop) {
    std::atomic<bool> stopAsked{false}, stopDone{false}, doneBeforeReturn{false};
    auto stop = std::make_unique<CConsoleStop>([&] { stopAsked = true; });
    std::thread handler([&] {
        EXPECT_TRUE(CConsoleStop::deliver(CTRL_CLOSE_EVENT));
        doneBeforeReturn = stopDone.load();
    });
    for (int i = 0; i < 500 && !stopAsked; ++i) platform::sleepMs(2);
    EXPECT_TRUE(stopAsked);
    platform::sleepMs(300);  // the stop takes its time
    stopDone = true;
    stop.reset();
    handler.join();
    EXPECT_TRUE(doneBeforeReturn);
    // Other console events are left to the next handler.
    EXPECT_FALSE(CConsoleStop::deliver(CTRL_LOGOFF_EVENT));
}
