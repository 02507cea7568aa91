// Windows only.
#include "platform/clock.h"
#include "platform/win32_types.h"

namespace platform {

uint32_t systemTickCount() { return GetTickCount(); }

uint64_t systemFileTimeNow() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void systemSleepMs(uint32_t ms) { Sleep(ms); }

LocalTime systemLocalTime() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    t.dayOfWeek = st.wDayOfWeek;
    return t;
}

}  // namespace platform
