// The calling thread's last error code, as the Windows calls leave it. On Windows this is the
// system's own value; elsewhere a thread-local that the portable stand-ins set the same way.
#pragma once
#include <cstdint>

namespace platform {

uint32_t lastError();
void setLastError(uint32_t code);

// Keeps the last error of the current thread across a scope that may disturb it
// (closing a handle, logging).
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(lastError()) {}
    ~LastErrorKeeper() { setLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    uint32_t saved_;
};

}  // namespace platform
