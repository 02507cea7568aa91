// Windows only: pass-through to advapi32.
#include "service/service_control.h"

#include <cstring>
#include <vector>

#include "platform/handles_win.h"
#include "platform/text.h"
#include "platform/win32_types.h"

namespace {

// Names and paths arrive as UTF-8 and go to the wide calls, so that a folder name outside the
// ANSI code page reaches the manager intact.
struct Wide {
    explicit Wide(const std::string& text) : value(platform::utf8ToUtf16(text)) {}
    const wchar_t* get() const { return reinterpret_cast<const wchar_t*>(value.c_str()); }
    WString value;
};

ServiceControlApi::ServiceEntry g_entry = nullptr;
ServiceControlApi::ControlEntry g_control = nullptr;

void WINAPI serviceEntryTrampoline(DWORD argc, LPWSTR* argv) {
    std::vector<std::string> args;
    for (DWORD i = 0; i < argc; ++i) args.push_back(platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
    std::vector<char*> pointers;
    for (std::string& a : args) pointers.push_back(&a[0]);
    pointers.push_back(nullptr);
    g_entry(static_cast<int>(argc), pointers.data());
}

DWORD WINAPI controlTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
    return g_control(control, eventType, eventData, context);
}

class WindowsServiceControl : public ServiceControlApi {
public:
    Handle openManager() override { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS); }

    Handle openService(Handle manager, const std::string& name) override {
        return OpenServiceW(static_cast<SC_HANDLE>(manager), Wide(name).get(), SERVICE_ALL_ACCESS);
    }

    Handle createService(Handle manager, const std::string& name, const std::string& displayName,
                         const std::string& binaryPath, const char* dependencies) override {
        // The dependency list is double-zero terminated; every name in it is ASCII.
        WString deps;
        if (dependencies) {
            for (const char* p = dependencies; *p; p += std::strlen(p) + 1) {
                deps += platform::utf8ToUtf16(p);
                deps += u'\0';
            }
            deps += u'\0';
        }
        return CreateServiceW(static_cast<SC_HANDLE>(manager), Wide(name).get(), Wide(displayName).get(),
                              SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                              SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, Wide(binaryPath).get(), nullptr, nullptr,
                              dependencies ? reinterpret_cast<const wchar_t*>(deps.c_str()) : nullptr, nullptr,
                              nullptr);
    }

    bool closeHandle(Handle handle) override { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)) != 0; }

    bool startService(Handle service) override { return StartServiceW(static_cast<SC_HANDLE>(service), 0, nullptr) != 0; }

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
        Wide path("SYSTEM\\CurrentControlSet\\Services\\" + name);
        HKEY opened = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.get(), 0, KEY_READ | KEY_WRITE, &opened) != ERROR_SUCCESS) return false;
        const platform::UniqueRegKey key(opened);
        Wide text(description);
        return RegSetValueExW(key.get(), L"Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.get()),
                              static_cast<DWORD>(text.value.size() * sizeof(char16_t))) == ERROR_SUCCESS;
    }

    bool runDispatcher(const std::string& name, ServiceEntry entry) override {
        g_entry = entry;
        Wide buffer(name);
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(buffer.get()), serviceEntryTrampoline}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) != 0;
    }

    Handle registerControlHandler(const std::string& name, ControlEntry entry, void* context) override {
        g_control = entry;
        return RegisterServiceCtrlHandlerExW(Wide(name).get(), controlTrampoline, context);
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
