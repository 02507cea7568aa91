// POSIX only: there is no service control manager; every operation fails with
// ERROR_NOT_SUPPORTED.
#include "service/service_control.h"

#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/win32_types.h"

namespace {

class UnsupportedServiceControl : public ServiceControlApi {
    static bool fail() {
        platform::setLastError(ERROR_NOT_SUPPORTED);
        return false;
    }

public:
    Handle openManager() override { return fail(), nullptr; }
    Handle openService(Handle, const std::string&) override { return fail(), nullptr; }
    Handle createService(Handle, const std::string&, const std::string&, const std::string&, const char*) override {
        return fail(), nullptr;
    }
    bool closeHandle(Handle) override { return true; }
    bool startService(Handle) override { return fail(); }
    bool controlService(Handle, uint32_t, uint32_t*) override { return fail(); }
    bool queryStatus(Handle, uint32_t*, uint32_t*) override { return fail(); }
    bool deleteService(Handle) override { return fail(); }
    bool setDescription(const std::string&, const std::string&) override { return fail(); }
    bool runDispatcher(const std::string&, ServiceEntry) override {
        platform::setLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    Handle registerControlHandler(const std::string&, ControlEntry, void*) override { return fail(), nullptr; }
    bool reportStatus(Handle, uint32_t) override { return fail(); }
    void sleep(uint32_t ms) override { platform::sleepMs(ms); }
};

}  // namespace

ServiceControlApi& systemServiceControl() {
    static UnsupportedServiceControl api;
    return api;
}
