#include "service/service.h"

#include <climits>
#include <string>
#include <vector>

#include "logging/crash_report.h"
#include "logging/log.h"
#include "platform/last_error.h"
#include "platform/process_paths.h"
#include "platform/text.h"
#include "platform/win32_types.h"
#include "service/console_stop.h"

CService* CService::s_instance = nullptr;

CService::CService(ServiceControlApi& api) : api_(api) {
    if (s_instance) throw -1;
    s_instance = this;
}

CService::~CService() {
    release();
    if (s_instance == this) s_instance = nullptr;
}

int32_t CService::parseControlCode(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

// A close never replaces the error of the operation before it (a close is known to leave
// 997 behind, and a successful close may clear the code).
void CService::closeKeepingError(ServiceControlApi::Handle handle) {
    platform::LastErrorKeeper keep;
    api_.closeHandle(handle);
}

bool CService::open() {
    if (service_) return true;
    ServiceControlApi::Handle manager = api_.openManager();
    if (!manager) return false;
    platform::setLastError(0);
    service_ = api_.openService(manager, serviceName());
    closeKeepingError(manager);
    return service_ != nullptr;
}

void CService::release() {
    if (!service_) return;
    closeKeepingError(service_);
    service_ = nullptr;
}

bool CService::isInstalled() {
    if (!open()) return false;
    release();
    return true;
}

bool CService::install() {
    std::string path = platform::executablePath();
    ServiceControlApi::Handle manager = api_.openManager();
    if (!manager) return false;
    // Quoted, so that a directory name with a blank cannot make the manager start another program.
    std::string binary = "\"" + path + "\"";
    ServiceControlApi::Handle created = api_.createService(manager, serviceName(), displayName(), binary, dependencies());
    if (!created) {
        closeKeepingError(manager);
        return false;
    }
    closeKeepingError(created);
    {
        platform::LastErrorKeeper keep;
        api_.setDescription(serviceName(), description());
    }
    closeKeepingError(manager);
    return true;
}

bool CService::remove() {
    if (!open()) return false;
    uint32_t state = 0;
    if (api_.controlService(service_, ServiceControl::Stop, &state)) {
        for (int i = 0; i < 20; ++i) {
            if (state == ServiceState::Stopped) break;
            api_.sleep(500);
            if (!api_.controlService(service_, ServiceControl::Interrogate, &state)) break;
        }
    }
    platform::setLastError(0);
    bool deleted = api_.deleteService(service_);
    uint32_t error = platform::lastError();
    release();
    if (!deleted) {
        platform::setLastError(error);
        return false;
    }
    for (int i = 0; i < 20; ++i) {
        if (!open()) break;
        release();
        api_.sleep(500);
    }
    platform::setLastError(error);
    return true;
}

bool CService::start() {
    if (!open()) return false;
    platform::setLastError(0);
    bool ok = api_.startService(service_);
    release();
    return ok;
}

bool CService::stop() {
    if (!open()) return false;
    bool ok = api_.controlService(service_, ServiceControl::Stop, nullptr);
    release();
    return ok;
}

bool CService::control(uint32_t code) {
    if (!open()) return false;
    bool ok = api_.controlService(service_, code, nullptr);
    release();
    return ok;
}

bool CService::wait() {
    if (!open()) return false;
    uint32_t waited = 0;
    bool result = false;
    for (;;) {
        uint32_t state = 0, hint = 0;
        if (!api_.queryStatus(service_, &state, &hint)) break;
        if (waited > 6000) break;
        if (state != ServiceState::StartPending && state != ServiceState::StopPending &&
            state != ServiceState::ContinuePending && state != ServiceState::PausePending) {
            result = true;
            break;
        }
        uint32_t sleep = (hint == 0 || hint == 0xFFFFFFFFu) ? 500 : hint;
        api_.sleep(sleep);
        waited += sleep;
    }
    release();
    return result;
}

bool CService::classifyLastError(const char* /*operation*/) {
    uint32_t e = platform::lastError();
    if (e == ERROR_IO_PENDING) {
        platform::setLastError(0);
        return false;
    }
    switch (e) {
    case 3: case 1056: case 1058: case 1060: case 1062: case 1069: case 1072: case 1073: case 1074: case 1075:
        return true;
    default:
        return false;
    }
}

bool CService::runAsService() {
    platform::setLastError(0);
    return api_.runDispatcher(serviceName(), &CService::serviceEntry);
}

bool CService::runForeground(int argc, char** argv) {
    bool result = false;
    // A restart asked for after a stop is not honoured: the stop wins.
    for (bool first = true; restart_ && (first || !stopRequested()); first = false) {
        restart_ = false;
        if (init()) {
            serviceWork(argc, argv);
            cleanup();
            result = true;
        }
    }
    return result;
}

bool CService::waitForStop(uint32_t timeoutMs, platform::Event* extra) {
    if (!extra) {
        stopEvent_.wait(timeoutMs);
        return true;
    }
    return platform::Event::waitAny({&stopEvent_, extra}, timeoutMs) != 1;
}

void CService::setStatus(uint32_t state) {
    currentStatus_ = state;
    if (!api_.reportStatus(statusHandle_, state)) {
        LogScope scope("CService::setStatus");
        logText(scope, LogPriority::Error, "Error setting service status.");
    }
}

void CService::serviceMain(int, char**) {
    LogScope scope("serviceMain");
    statusHandle_ = api_.registerControlHandler(serviceName(), &CService::controlEntry, this);
    if (statusHandle_) {
        logText(scope, LogPriority::Informal, "Start Pending");
        setStatus(ServiceState::StartPending);
        while (restart_) {
            // Cleared before init, so that a restart asked for while init runs is kept.
            restart_ = false;
            logText(scope, LogPriority::Informal, "Calling init");
            if (!init()) break;
            setStatus(ServiceState::Running);
            logText(scope, LogPriority::Informal, "Init done.");
            serviceWork(0, nullptr);
            logText(scope, LogPriority::Informal, "Calling cleanup.");
            // Decided once: a restart asked for during cleanup after a stop must not revive it.
            bool again = restart_ && !stopRequested();
            if (!again) setStatus(ServiceState::StopPending);
            cleanup();
            logText(scope, LogPriority::Informal, "Cleanup Done.");
            if (!again || stopRequested()) break;
        }
    }
    // Logged before the last report: once the last service of the process reports stopped, the
    // dispatcher returns and the process may end before this thread writes anything more.
    logText(scope, LogPriority::Informal, "serviceMain exiting.");
    setStatus(ServiceState::Stopped);
}

uint32_t CService::serviceControlHandler(uint32_t control, uint32_t, void*) {
    LogScope scope("serviceControlHandler");
    switch (control) {
    case ServiceControl::Interrogate:
        logText(scope, LogPriority::Informal, "Received INTERROGATE control code");
        setStatus(currentStatus_);
        return 0;
    case ServiceControl::Stop:
    case ServiceControl::Shutdown:
        logText(scope, LogPriority::Informal,
                control == ServiceControl::Stop ? "Received STOP control code" : "Received SHUTDOWN control code");
        if (currentStatus_ == ServiceState::Stopped) {
            setStatus(ServiceState::Stopped);
        } else {
            setStatus(ServiceState::StopPending);
            stopEvent_.set();
        }
        return 0;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void CService::serviceEntry(int argc, char** argv) {
    // Nothing may escape into the service control manager's thread. An exception that escaped
    // the work is a fault like an access violation: it is reported as a crash, and the manager
    // learns that the service has stopped instead of waiting for it for ever.
    try {
        if (s_instance) s_instance->serviceMain(argc, argv);
    } catch (...) {
        {
            LogScope scope("serviceMain");
            logText(scope, LogPriority::Error, "Unknown Exception occured");
        }
        writeUnknownExceptionReport();
        if (s_instance) s_instance->setStatus(ServiceState::Stopped);
    }
}

uint32_t CService::controlEntry(uint32_t control, uint32_t eventType, void* eventData, void* context) {
    try {
        return static_cast<CService*>(context)->serviceControlHandler(control, eventType, eventData);
    } catch (...) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

CService::Option CService::matchOption(const char* argument) {
    if (!argument) return Option::None;
    std::string arg = platform::asciiLower(argument);
    if (arg == "-h" || arg == "/?" || arg == "-help") return Option::Help;
    if (arg == "-ci" || arg == "-checkinstall") return Option::CheckInstall;
    if (arg == "-c" || arg == "-control") return Option::Control;
    if (arg == "-i" || arg == "-install") return Option::Install;
    if (arg == "-r" || arg == "-u" || arg == "-uninstall") return Option::Remove;
    if (arg == "-s" || arg == "-start") return Option::Start;
    if (arg == "-stop") return Option::Stop;
    if (arg == "-w" || arg == "-wait") return Option::Wait;
    if (arg == "-e" || arg == "-exec" || arg == "-execute") return Option::Exec;
    return Option::None;
}

bool CService::isCommandInvocation(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        Option option = matchOption(argv[i]);
        if (option != Option::None) return option != Option::Exec;
    }
    return false;
}

int32_t CService::dispatch(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        switch (matchOption(argv[i])) {
        case Option::None:
            continue;
        case Option::Help:
            return 0;
        case Option::CheckInstall:
            return isInstalled() ? 0 : -1;
        case Option::Control:
            if (i + 1 >= argc || !argv[i + 1]) return -1;
            // Cleared like every other operation, so that a success never exits with a stale code.
            platform::setLastError(0);
            control(static_cast<uint32_t>(parseControlCode(argv[i + 1])));
            classifyLastError("control");
            return static_cast<int32_t>(platform::lastError());
        case Option::Install:
            platform::setLastError(0);
            install();
            classifyLastError("install");
            return static_cast<int32_t>(platform::lastError());
        case Option::Remove:
            platform::setLastError(0);
            remove();
            classifyLastError("remove");
            return static_cast<int32_t>(platform::lastError());
        case Option::Start:
            platform::setLastError(0);
            start();
            classifyLastError("start");
            return static_cast<int32_t>(platform::lastError());
        case Option::Stop:
            platform::setLastError(0);
            stop();
            classifyLastError("stop");
            return static_cast<int32_t>(platform::lastError());
        case Option::Wait:
            platform::setLastError(0);
            wait();
            classifyLastError("wait");
            return static_cast<int32_t>(platform::lastError());
        case Option::Exec: {
            CConsoleStop consoleStop([this] { requestStop(); });
            platform::setLastError(0);
            runForeground(argc - i - 1, argv + i + 1);
            return static_cast<int32_t>(platform::lastError());
        }
        }
    }
    return runAsService() ? 0 : -1;
}
