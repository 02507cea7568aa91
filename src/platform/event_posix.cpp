// POSIX only.
#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {
namespace {
// One monitor for all events keeps "wait for any of several" simple and race free; the system
// has a few dozen events at most and they change rarely, so the shared lock costs nothing.
std::mutex& monitor() {
    static std::mutex m;
    return m;
}
std::condition_variable& changed() {
    static std::condition_variable cv;
    return cv;
}
}  // namespace

struct Event::Impl {
    bool manual = true;
    bool signalled = false;
};

Event::Event(Reset reset, bool initiallySet) : impl_(new Impl) {
    impl_->manual = reset == Reset::Manual;
    impl_->signalled = initiallySet;
}

Event::~Event() = default;

void Event::set() {
    {
        std::lock_guard<std::mutex> lock(monitor());
        impl_->signalled = true;
    }
    changed().notify_all();
}

void Event::reset() {
    std::lock_guard<std::mutex> lock(monitor());
    impl_->signalled = false;
}

bool Event::wait(uint32_t timeoutMs) { return waitAny({this}, timeoutMs) == 0; }

int Event::waitAny(std::initializer_list<Event*> events, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(monitor());
    auto ready = [&]() -> int {
        int index = 0;
        for (Event* e : events) {
            if (e->impl_->signalled) {
                if (!e->impl_->manual) e->impl_->signalled = false;
                return index;
            }
            ++index;
        }
        return -1;
    };
    int hit = ready();
    if (hit >= 0 || timeoutMs == 0) return hit;
    if (timeoutMs == kInfinite) {
        for (;;) {
            changed().wait(lock);
            if ((hit = ready()) >= 0) return hit;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (changed().wait_until(lock, deadline) == std::cv_status::timeout) return ready();
        if ((hit = ready()) >= 0) return hit;
    }
}

void* Event::nativeHandle() const { return nullptr; }

}  // namespace platform
