// Windows only.
#include "platform/win32_types.h"
#include "monitor/user_input.h"

bool queryLastInputTime(uint32_t& tick) {
    LASTINPUTINFO info{};
    info.cbSize = sizeof info;
    if (!GetLastInputInfo(&info)) return false;
    tick = info.dwTime;
    return true;
}

bool queryCursorPosition(int32_t& x, int32_t& y) {
    POINT p;
    if (!GetCursorPos(&p)) return false;
    x = p.x;
    y = p.y;
    return true;
}
