// Events with the semantics of Windows event objects: manual reset (stays signalled until
// reset, wakes every waiter) or auto reset (wakes one waiter and resets itself).
// All operations are thread safe.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <memory>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Event {
public:
    enum class Reset { Manual, Auto };

    explicit Event(Reset reset, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // True when the event was signalled within the time-out (an auto-reset event is consumed).
    bool wait(uint32_t timeoutMs = kInfinite);
    // Waits for the first of the given events to be signalled. Returns its index in the list,
    // or -1 on time-out. When several are set, the lowest index wins, as on Windows.
    static int waitAny(std::initializer_list<Event*> events, uint32_t timeoutMs = kInfinite);

    // The Windows event handle, for waits that mix events with other handles; null elsewhere.
    void* nativeHandle() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
