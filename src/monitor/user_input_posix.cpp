// POSIX only: no window system, so no input events to see.
#include "monitor/user_input.h"

bool queryLastInputTime(uint32_t&) { return false; }
bool queryCursorPosition(int32_t&, int32_t&) { return false; }
