// Windows only.
#include "platform/last_error.h"
#include "platform/win32_types.h"

namespace platform {
uint32_t lastError() { return GetLastError(); }
void setLastError(uint32_t code) { SetLastError(code); }
}  // namespace platform
