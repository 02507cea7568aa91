// POSIX only.
#include "platform/clock.h"

#include <ctime>
#include <time.h>

namespace platform {

uint32_t systemTickCount() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint64_t systemFileTimeNow() {
    // Seconds between 1601-01-01 and 1970-01-01.
    constexpr uint64_t kEpochDelta = 11644473600ull;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) + kEpochDelta) * 10000000ull + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

void systemSleepMs(uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

LocalTime systemLocalTime() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    t.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    t.dayOfWeek = tm.tm_wday;
    return t;
}

}  // namespace platform
