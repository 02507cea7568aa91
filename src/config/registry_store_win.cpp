// Windows only: the registry store is the registry itself, each operation one advapi32 call.
#include "config/registry_store.h"
#include "platform/win32_types.h"

namespace {

HKEY hkey(RegistryHandle h) { return reinterpret_cast<HKEY>(h); }
const wchar_t* wide(const WString& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

class WindowsRegistryStore : public CRegistryStore {
public:
    RegistryHandle root() override { return reinterpret_cast<RegistryHandle>(HKEY_LOCAL_MACHINE); }

    uint32_t openKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        HKEY opened = nullptr;
        LONG rc = RegOpenKeyExW(hkey(parent), wide(name), 0, access, &opened);
        if (rc == ERROR_SUCCESS) key = reinterpret_cast<RegistryHandle>(opened);
        return static_cast<uint32_t>(rc);
    }

    uint32_t createKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) override {
        HKEY opened = nullptr;
        LONG rc = RegCreateKeyExW(hkey(parent), wide(name), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &opened,
                                  nullptr);
        if (rc == ERROR_SUCCESS) key = reinterpret_cast<RegistryHandle>(opened);
        return static_cast<uint32_t>(rc);
    }

    void closeKey(RegistryHandle key) override { RegCloseKey(hkey(key)); }

    uint32_t enumKey(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) override {
        WString buffer(capacity, u'\0');
        DWORD length = capacity;
        LONG rc = RegEnumKeyExW(hkey(key), index, reinterpret_cast<wchar_t*>(&buffer[0]), &length, nullptr, nullptr,
                                nullptr, nullptr);
        if (rc == ERROR_SUCCESS) name.assign(buffer.data(), length);
        return static_cast<uint32_t>(rc);
    }

    uint32_t enumValue(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) override {
        WString buffer(capacity, u'\0');
        DWORD length = capacity;
        LONG rc = RegEnumValueW(hkey(key), index, reinterpret_cast<wchar_t*>(&buffer[0]), &length, nullptr, nullptr,
                                nullptr, nullptr);
        if (rc == ERROR_SUCCESS) name.assign(buffer.data(), length);
        return static_cast<uint32_t>(rc);
    }

    uint32_t queryValue(RegistryHandle key, const WString& name, uint32_t& type, uint8_t* data, uint32_t& size) override {
        DWORD t = 0;
        DWORD s = size;
        LONG rc = RegQueryValueExW(hkey(key), wide(name), nullptr, &t, data, &s);
        type = t;
        size = s;
        return static_cast<uint32_t>(rc);
    }

    uint32_t setValue(RegistryHandle key, const WString& name, uint32_t type, const uint8_t* data, uint32_t size) override {
        return static_cast<uint32_t>(RegSetValueExW(hkey(key), wide(name), 0, type, data, size));
    }

    uint32_t deleteValue(RegistryHandle key, const WString& name) override {
        return static_cast<uint32_t>(RegDeleteValueW(hkey(key), wide(name)));
    }

    uint32_t deleteKey(RegistryHandle parent, const WString& name) override {
        return static_cast<uint32_t>(RegDeleteKeyW(hkey(parent), wide(name)));
    }
};

}  // namespace

std::shared_ptr<CRegistryStore> platformRegistryStore() {
    static const std::shared_ptr<CRegistryStore> store = std::make_shared<WindowsRegistryStore>();
    return store;
}
