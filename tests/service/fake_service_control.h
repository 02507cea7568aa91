// A service control manager in memory: one service, its state, and a record of the calls.
#pragma once
#include <string>
#include <vector>

#include "platform/last_error.h"
#include "service/service_control.h"

class FakeServiceControl : public ServiceControlApi {
public:
    bool managerAvailable = true;
    bool installed = false;
    bool markedForDelete = false;
    uint32_t state = 1;
    uint32_t waitHint = 0;
    // States the service passes through on successive queries (then stays at the last one).
    std::vector<uint32_t> stateScript;
    uint32_t stopsAfterInterrogates = 0;   // a stopping service reaches state 1 after this many interrogates
    int opensUntilGone = 0;                // after deletion, opens that still succeed
    uint32_t closeLeavesError = 0;         // a close that leaves this error behind (997 in the wild)
    std::string binaryPath, description, displayName;
    std::vector<uint32_t> controls;
    std::vector<uint32_t> reported;
    uint32_t slept = 0;
    int handlesOpen = 0;

    Handle openManager() override {
        if (!managerAvailable) return fail(5), nullptr;
        ++handlesOpen;
        return reinterpret_cast<Handle>(1);
    }
    Handle openService(Handle, const std::string&) override {
        if (!installed) return fail(1060), nullptr;
        if (markedForDelete) {
            if (opensUntilGone-- <= 0) {
                installed = false;
                return fail(1060), nullptr;
            }
        }
        ++handlesOpen;
        return reinterpret_cast<Handle>(2);
    }
    Handle createService(Handle, const std::string&, const std::string& display, const std::string& path,
                         const char*) override {
        if (installed) return fail(1073), nullptr;
        installed = true;
        binaryPath = path;
        displayName = display;
        ++handlesOpen;
        return reinterpret_cast<Handle>(3);
    }
    bool closeHandle(Handle) override {
        --handlesOpen;
        platform::setLastError(closeLeavesError);
        return true;
    }
    bool startService(Handle) override {
        if (state != 1) return fail(1056);
        state = 4;
        return true;
    }
    bool controlService(Handle, uint32_t control, uint32_t* out) override {
        controls.push_back(control);
        if (control == 1) {
            if (state == 1) return fail(1062);
            state = stopsAfterInterrogates ? 3 : 1;
        } else if (control == 4 && state == 3 && stopsAfterInterrogates && --stopsAfterInterrogates == 0) {
            state = 1;
        }
        if (out) *out = state;
        return true;
    }
    bool queryStatus(Handle, uint32_t* s, uint32_t* hint) override {
        if (!stateScript.empty()) {
            state = stateScript.front();
            if (stateScript.size() > 1) stateScript.erase(stateScript.begin());
        }
        *s = state;
        *hint = waitHint;
        return true;
    }
    bool deleteService(Handle) override {
        if (markedForDelete) return fail(1072);
        markedForDelete = true;
        return true;
    }
    bool setDescription(const std::string&, const std::string& text) override {
        description = text;
        platform::setLastError(0);
        return true;
    }
    bool runDispatcher(const std::string&, ServiceEntry entry) override {
        entry(0, nullptr);
        return true;
    }
    Handle registerControlHandler(const std::string&, ControlEntry e, void* c) override {
        controlEntry = e;
        context = c;
        return reinterpret_cast<Handle>(9);
    }
    bool reportStatus(Handle, uint32_t s) override {
        reported.push_back(s);
        return true;
    }
    void sleep(uint32_t ms) override { slept += ms; }

    // Delivers a control as the manager's handler thread would.
    uint32_t deliver(uint32_t control) { return controlEntry(control, 0, nullptr, context); }

    ControlEntry controlEntry = nullptr;
    void* context = nullptr;

private:
    static bool fail(uint32_t code) {
        platform::setLastError(code);
        return false;
    }
};
