// CService: the reusable host of a service that lives in its own process. It owns the command
// line dispatcher, the service control manager operations behind its options, the service
// entry with status reporting, the control handler, the foreground run and the restart loop.
// A derived class supplies the names and the three phases init, serviceWork and cleanup.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "platform/event.h"
#include "service/service_control.h"

namespace ServiceState {
constexpr uint32_t Stopped = 1;
constexpr uint32_t StartPending = 2;
constexpr uint32_t StopPending = 3;
constexpr uint32_t Running = 4;
constexpr uint32_t ContinuePending = 5;
constexpr uint32_t PausePending = 6;
}  // namespace ServiceState

namespace ServiceControl {
constexpr uint32_t Stop = 1;
constexpr uint32_t Interrogate = 4;
constexpr uint32_t Shutdown = 5;
}  // namespace ServiceControl

class CService {
public:
    // Only one CService may exist in a process; a second construction throws the integer -1.
    explicit CService(ServiceControlApi& api = systemServiceControl());
    virtual ~CService();
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    virtual std::string serviceName() const = 0;
    virtual std::string displayName() const { return serviceName(); }
    virtual std::string description() const { return std::string(); }
    // Double-zero-terminated list, or null for none.
    virtual const char* dependencies() const { return nullptr; }
    virtual bool init() { return true; }
    virtual void serviceWork(int argc, char** argv) = 0;
    virtual void cleanup() {}
    virtual void reserved() {}
    virtual void requestStop() { stopEvent_.set(); }
    virtual void serviceMain(int argc, char** argv);
    virtual uint32_t serviceControlHandler(uint32_t control, uint32_t eventType, void* eventData);

    enum class Option { None, Help, CheckInstall, Control, Install, Remove, Start, Stop, Wait, Exec };
    // The option form an argument matches (ASCII case-insensitive, whole argument).
    static Option matchOption(const char* argument);
    // True when the command line asks for a command (help or a service-management option)
    // rather than the service's work (the service role or "-exec").
    static bool isCommandInvocation(int argc, char** argv);

    // The command line dispatcher: examines every argument, the program path included; the first
    // option form that matches decides. Returns the process exit code.
    int32_t dispatch(int argc, char** argv);

    // Service operations: bool result, the system's last error left as the operation left it.
    bool isInstalled();
    bool install();
    bool remove();
    bool start();
    bool stop();
    bool control(uint32_t code);
    bool wait();
    bool runAsService();
    bool runForeground(int argc, char** argv);

    // Turns 997 (ERROR_IO_PENDING) into 0; true for the codes that mean a known service state.
    static bool classifyLastError(const char* operation);

    // False only when `extra` ended the wait.
    bool waitForStop(uint32_t timeoutMs = platform::kInfinite, platform::Event* extra = nullptr);
    void setStatus(uint32_t state);
    uint32_t currentStatus() const { return currentStatus_; }
    void setRestart(bool restart) { restart_ = restart; }
    // A stop has been asked for (the stop event is set; it stays set).
    bool stopRequested() { return stopEvent_.wait(0); }
    bool restartRequested() const { return restart_; }
    platform::Event& stopEvent() { return stopEvent_; }

    static CService* instance() { return s_instance; }

    // Converts a control-code argument: leading blanks, an optional sign, then decimal digits up
    // to the first other character; 0 without digits. Saturates instead of overflowing.
    static int32_t parseControlCode(const char* text);

protected:
    ServiceControlApi& api() { return api_; }

private:
    bool open();
    void release();
    void closeKeepingError(ServiceControlApi::Handle handle);

    static void serviceEntry(int argc, char** argv);
    static uint32_t controlEntry(uint32_t control, uint32_t eventType, void* eventData, void* context);

    ServiceControlApi& api_;
    ServiceControlApi::Handle service_ = nullptr;
    ServiceControlApi::Handle statusHandle_ = nullptr;
    platform::Event stopEvent_{platform::Event::Reset::Manual};
    std::atomic<uint32_t> currentStatus_{0};
    std::atomic<bool> restart_{true};

    static CService* s_instance;
};
