// Windows only: pass-through to advapi32.
#include "service/service_control.h"

#include <cstring>

#include "platform/text.h"
#include "platform/win32_types.h"

namespace {

const wchar_t* wide(const WString& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

ServiceControlApi::ServiceEntry g_entry = nullptr;
ServiceControlApi::ControlEntry g_control = nullptr;

void WINAPI serviceEntryTrampoline(DWORD argc, LPSTR* argv) { g_entry(static_cast<int>(argc), argv); }

DWORD WINAPI controlTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    return g_control(control, eventType, eventData, context);
}

class WindowsServiceControl : public ServiceControlApi {
public:
    Handle openManager() override { return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

    Handle openService(Handle manager, const std::string& name) override {
        return OpenServiceA(static_cast<SC_HANDLE>(manager), name.c_str(), SERVICE_ALL_ACCESS);
    }

    Handle createService(Handle manager, const std::string& name, const std::string& displayName,
                         const std::string& binaryPath, const char* dependencies) override {
        // The path is UTF-8; the wide call keeps a folder name that the ANSI code page cannot hold.
        const WString path = platform::utf8ToUtf16(binaryPath);
        const WString wideName = platform::utf8ToUtf16(name), wideDisplay = platform::utf8ToUtf16(displayName);
        WString wideDependencies;
        for (const char* d = dependencies; d && *d; d += std::strlen(d) + 1)
            wideDependencies += platform::utf8ToUtf16(d) + u'\0';
        return CreateServiceW(static_cast<SC_HANDLE>(manager), wide(wideName), wide(wideDisplay), SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
                              SERVICE_ERROR_NORMAL, wide(path), nullptr, nullptr,
                              dependencies ? wide(wideDependencies) : nullptr, nullptr, nullptr);
    }

    bool closeHandle(Handle handle) override { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)) != 0; }

    bool startService(Handle service) override { return StartServiceA(static_cast<SC_HANDLE>(service), 0, nullptr) != 0; }

    bool controlService(Handle service, uint32_t control, uint32_t* state) override {
        SERVICE_STATUS status{};
        BOOL ok = ControlService(static_cast<SC_HANDLE>(service), control, &status);
        if (ok && state) *state = status.dwCurrentState;
        return ok != 0;
    }

    bool queryStatus(Handle service, uint32_t* state, uint32_t* waitHint) override {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(static_cast<SC_HANDLE>(service), &status)) return false;
        if (state) *state = status.dwCurrentState;
        if (waitHint) *waitHint = status.dwWaitHint;
        return true;
    }

    bool deleteService(Handle service) override { return DeleteService(static_cast<SC_HANDLE>(service)) != 0; }

    bool setDescription(const std::string& name, const std::string& description) override {
        std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS) return false;
        LONG rc = RegSetValueExA(key, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(description.data()),
                                 static_cast<DWORD>(description.size()));
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }

    bool runDispatcher(const std::string& name, ServiceEntry entry) override {
        g_entry = entry;
        std::string buffer = name;
        SERVICE_TABLE_ENTRYA table[] = {{&buffer[0], serviceEntryTrampoline}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherA(table) != 0;
    }

    Handle registerControlHandler(const std::string& name, ControlEntry entry, void* context) override {
        g_control = entry;
        return RegisterServiceCtrlHandlerExA(name.c_str(), controlTrampoline, context);
    }

    bool reportStatus(Handle statusHandle, uint32_t state) override {
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        status.dwWin32ExitCode = 0;
        status.dwServiceSpecificExitCode = 0;
        status.dwCheckPoint = 0;
        status.dwWaitHint = 3000;
        return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &status) != 0;
    }

    void sleep(uint32_t ms) override { Sleep(ms); }
};

}  // namespace

ServiceControlApi& systemServiceControl() {
    static WindowsServiceControl api;
    return api;
}
