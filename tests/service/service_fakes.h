// The service's surroundings in memory: a service control manager with one service, its state
// and a record of the calls; and the user's activity as the test sets it.
#pragma once
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/last_error.h"
#include "platform/win32_types.h"
#ifndef _WIN32
#include <sched.h>
#endif
#include "service/pause_policy.h"
#include "service/service_control.h"

// A pipe name no other run and no running service uses.
inline std::string uniquePipeName(const std::string& what) {
    static int n = 0;
    return "\\\\.\\pipe\\velkaris-" + what + "-test-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" + std::to_string(++n);
}

// Polls the condition for up to ten seconds.
template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 1000 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// Whether the calling thread runs at the worker's background priority.
inline bool threadInBackground() {
#ifdef _WIN32
    return GetThreadPriority(GetCurrentThread()) < THREAD_PRIORITY_NORMAL;
#else
    return sched_getscheduler(0) == SCHED_IDLE;
#endif
}

class FakeActivity : public UserActivity {
public:
    uint32_t input = 0;
    int32_t x = 0, y = 0;
    bool battery = false, fullscreen = false, saver = false;
    // The monitoring thread asks every loop; it must never be lowered with the worker.
    std::atomic<int> asked{0}, askedFromBackground{0};
    bool lastInputTime(uint32_t& t) override {
        ++asked;
        if (threadInBackground()) ++askedFromBackground;
        return t = input, true;
    }
    bool cursorPosition(int32_t& cx, int32_t& cy) override { return cx = x, cy = y, true; }
    bool isOnBattery() override { return battery; }
    bool hasFullscreenWindow() override { return fullscreen; }
    bool isScreenSaverRunning() override { return saver; }
    // With a store, the agents' reports at tick `now` come first, as in the service.
    agent::CAgentReports* reports = nullptr;
    uint32_t now = 0;
    bool sessionView(agent::SessionView& v) override { return reports && reports->takeSessionView(now, v); }
    bool peekSessionView(agent::SessionView& v) override { return reports && reports->peekSessionView(now, v); }
};

class FakeServiceControl : public ServiceControlApi {
public:
    bool installed = false, markedForDelete = false;
    uint32_t state = 1;
    uint32_t closeLeavesError = 0;  // a close that leaves this error behind (997 in the wild)
    std::string description;
    std::vector<uint32_t> controls, reported;
    int handlesOpen = 0;
    ControlEntry controlEntry = nullptr;
    void* context = nullptr;

    Handle openManager() override { return opened(1); }
    Handle openService(Handle, const std::string&) override {
        if (markedForDelete) installed = false;
        return installed ? opened(2) : (fail(1060), nullptr);
    }
    Handle createService(Handle, const std::string&, const std::string&, const std::string&, const char*) override {
        return installed ? (fail(1073), nullptr) : (installed = true, opened(3));
    }
    bool closeHandle(Handle) override {
        --handlesOpen;
        platform::setLastError(closeLeavesError);
        return true;
    }
    bool startService(Handle) override { return state != 1 ? fail(1056) : (state = 4, true); }
    bool controlService(Handle, uint32_t control, uint32_t* out) override {
        controls.push_back(control);
        if (control == 1 && state == 1) return fail(1062);
        if (control == 1) state = 1;
        if (out) *out = state;
        return true;
    }
    bool queryStatus(Handle, uint32_t* s, uint32_t* hint) override { return *s = state, *hint = 0, true; }
    bool deleteService(Handle) override { return markedForDelete = true; }
    bool setDescription(const std::string&, const std::string& text) override {
        description = text;
        platform::setLastError(0);
        return true;
    }
    bool runDispatcher(const std::string&, ServiceEntry entry) override { return entry(0, nullptr), true; }
    Handle registerControlHandler(const std::string&, ControlEntry e, void* c) override {
        controlEntry = e;
        context = c;
        return reinterpret_cast<Handle>(9);
    }
    bool reportStatus(Handle, uint32_t s) override { return reported.push_back(s), true; }
    void sleep(uint32_t) override {}
    // Delivers a control as the manager's handler thread would.
    uint32_t deliver(uint32_t control) { return controlEntry(control, 0, nullptr, context); }

private:
    Handle opened(uintptr_t h) { return ++handlesOpen, reinterpret_cast<Handle>(h); }
    static bool fail(uint32_t code) { return platform::setLastError(code), false; }
};
