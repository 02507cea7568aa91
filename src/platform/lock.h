// The critical-section wrapper: a recursive lock with enter and leave, as the engine, the worker,
// the contexts and the change tracker use it, and a scoped guard.
#pragma once
#include <mutex>

class CCriticalSection {
public:
    void enter() { mutex_.lock(); }
    void leave() { mutex_.unlock(); }
    // For std::lock_guard and friends.
    void lock() { enter(); }
    void unlock() { leave(); }

private:
    std::recursive_mutex mutex_;
};

class CLockGuard {
public:
    explicit CLockGuard(CCriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~CLockGuard() { cs_.leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCriticalSection& cs_;
};
