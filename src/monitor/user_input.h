// The user-input queries of the pause policy: the tick of the last input event and the cursor
// position. Windows asks user32; other platforms have no input to see and answer "unknown".
#pragma once
#include <cstdint>

bool queryLastInputTime(uint32_t& tick);
bool queryCursorPosition(int32_t& x, int32_t& y);
