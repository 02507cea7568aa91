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

// The one source of time of the process. Every clock read and timed sleep goes through the
// functions above; a test replaces them all at once with setClockOverride.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual uint32_t tickCount() = 0;
    virtual uint64_t fileTimeNow() = 0;
    virtual void sleepMs(uint32_t ms) = 0;
    virtual LocalTime localTime() = 0;
};
// Installs `source` for every thread (nullptr restores the system clock). The caller keeps it
// alive until it is replaced; not meant to change while other threads read the time.
void setClockOverride(ClockSource* source);
ClockSource* clockOverride();
// Changes with every override set or removed: a tick kept from before is from another time base.
uint32_t clockGeneration();

// The system clock itself, whatever override is set.
uint32_t systemTickCount();
uint64_t systemFileTimeNow();
void systemSleepMs(uint32_t ms);
LocalTime systemLocalTime();

// Milliseconds elapsed from `since` to `now` on the wrapping tick.
inline uint32_t tickElapsed(uint32_t since, uint32_t now) { return now - since; }

}  // namespace platform
