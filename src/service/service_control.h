// The service control manager's primitives as CService uses them. The Windows implementation
// passes each call straight to advapi32; elsewhere every call fails with ERROR_NOT_SUPPORTED
// (there is no manager to talk to). Tests substitute a fake to reach the host's logic.
// Every operation leaves the thread's last error as the system call left it.
#pragma once
#include <cstdint>
#include <string>

class ServiceControlApi {
public:
    using Handle = void*;
    using ServiceEntry = void (*)(int argc, char** argv);
    using ControlEntry = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData, void* context);

    virtual ~ServiceControlApi() = default;

    virtual Handle openManager() = 0;
    virtual Handle openService(Handle manager, const std::string& name) = 0;
    // Own-process interactive service, automatic start, normal error control, local system.
    virtual Handle createService(Handle manager, const std::string& name, const std::string& displayName,
                                 const std::string& binaryPath, const char* dependencies) = 0;
    virtual bool closeHandle(Handle handle) = 0;
    virtual bool startService(Handle service) = 0;
    // Sends a control; on success `state` receives the current state the service reported.
    virtual bool controlService(Handle service, uint32_t control, uint32_t* state) = 0;
    virtual bool queryStatus(Handle service, uint32_t* state, uint32_t* waitHint) = 0;
    virtual bool deleteService(Handle service) = 0;
    // Sets "Description" under SYSTEM\CurrentControlSet\Services\<name>.
    virtual bool setDescription(const std::string& name, const std::string& description) = 0;

    // Connects the process to the manager as the named service; returns when it has stopped.
    virtual bool runDispatcher(const std::string& name, ServiceEntry entry) = 0;
    virtual Handle registerControlHandler(const std::string& name, ControlEntry entry, void* context) = 0;
    // Reports the status record with the given state (own process, accepts stop and shutdown,
    // wait hint 3000 ms).
    virtual bool reportStatus(Handle statusHandle, uint32_t state) = 0;
    virtual void sleep(uint32_t ms) = 0;
};

// The platform's implementation.
ServiceControlApi& systemServiceControl();
