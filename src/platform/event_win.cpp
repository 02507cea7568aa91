// Windows only.
#include "platform/event.h"
#include "platform/win32_types.h"

#include <stdexcept>
#include <vector>

namespace platform {

struct Event::Impl {
    HANDLE handle = nullptr;
};

Event::Event(Reset reset, bool initiallySet) : impl_(new Impl) {
    impl_->handle = CreateEventW(nullptr, reset == Reset::Manual, initiallySet, nullptr);
    if (!impl_->handle) throw std::runtime_error("CreateEvent failed");
}

Event::~Event() { CloseHandle(impl_->handle); }

void Event::set() { SetEvent(impl_->handle); }
void Event::reset() { ResetEvent(impl_->handle); }

bool Event::wait(uint32_t timeoutMs) {
    return WaitForSingleObject(impl_->handle, timeoutMs) == WAIT_OBJECT_0;
}

int Event::waitAny(std::initializer_list<Event*> events, uint32_t timeoutMs) {
    std::vector<HANDLE> handles;
    for (Event* e : events) handles.push_back(e->impl_->handle);
    DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeoutMs);
    if (rc < WAIT_OBJECT_0 + handles.size()) return static_cast<int>(rc - WAIT_OBJECT_0);
    return -1;
}

void* Event::nativeHandle() const { return impl_->handle; }

}  // namespace platform
