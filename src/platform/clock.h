// Time sources: the 32-bit millisecond tick for periodic work (compare with unsigned
// differences, it wraps after 49.7 days), the 100-ns wall clock since 1601 (FILETIME) for dates
// and rates, and the local calendar time.
#pragma once
#include <cstdint>

namespace platform {

uint32_t tickCount();
uint64_t fileTimeNow();
void sleepMs(uint32_t ms);

struct LocalTime {
    int year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int dayOfWeek = 0;  // 0 = Sunday
};
LocalTime localTime();

// Milliseconds elapsed from `since` to `now` on the wrapping tick.
inline uint32_t tickElapsed(uint32_t since, uint32_t now) { return now - since; }

}  // namespace platform
