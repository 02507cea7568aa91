// Windows only: WMI's refresher and high-performance enumerators through COM, one call each.
#include "platform/win32_types.h"
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>

#include <utility>

#include "monitor/wmi_counters.h"
#include "platform/unique_resource.h"

namespace monitor {

namespace {

template <class T>
struct ComTraits {
    using Type = T*;
    static Type invalid() { return nullptr; }
    static bool isValid(Type p) { return p != nullptr; }
    static void close(Type p) { p->Release(); }
};
template <class T>
using ComPtr = platform::UniqueResource<ComTraits<T>>;

// COM stays initialised on the thread while anything made through it is alive.
class ComApartment {
public:
    explicit ComApartment(HRESULT init) : init_(init) {}
    ~ComApartment() {
        if (SUCCEEDED(init_)) CoUninitialize();
    }

private:
    HRESULT init_;
};

class ComCounterObject : public WmiObject {
public:
    ComCounterObject(std::shared_ptr<ComApartment> apartment, IWbemObjectAccess* access)
        : apartment_(std::move(apartment)), access_(access) {}

    HResult propertyHandle(const WString& name, int32_t& handle) override {
        CIMTYPE type = 0;
        long value = 0;
        const HRESULT hr = access_.get()->GetPropertyHandle(reinterpret_cast<LPCWSTR>(name.c_str()), &type, &value);
        if (SUCCEEDED(hr)) handle = static_cast<int32_t>(value);
        return hr;
    }
    HResult readDword(int32_t handle, uint32_t& value) override {
        DWORD v = 0;
        const HRESULT hr = access_.get()->ReadDWORD(handle, &v);
        if (SUCCEEDED(hr)) value = v;
        return hr;
    }
    HResult readQword(int32_t handle, uint64_t& value) override {
        unsigned __int64 v = 0;
        const HRESULT hr = access_.get()->ReadQWORD(handle, &v);
        if (SUCCEEDED(hr)) value = v;
        return hr;
    }

private:
    std::shared_ptr<ComApartment> apartment_;  // released last
    ComPtr<IWbemObjectAccess> access_;
};

class ComWmiCounters : public WmiCounters {
public:
    ~ComWmiCounters() override {
        refresher_.reset();
        locator_.reset();
        configure_.reset();
        services_.reset();
        enums_.clear();
    }

    HResult initialiseCom() override {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        apartment_ = std::make_shared<ComApartment>(hr);
        return hr;
    }
    HResult initialiseSecurity() override {
        return CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE, RPC_C_IMP_LEVEL_IMPERSONATE,
                                    nullptr, EOAC_NONE, nullptr);
    }
    HResult createLocator() override {
        IWbemLocator* locator = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                            reinterpret_cast<void**>(&locator));
        locator_.reset(SUCCEEDED(hr) ? locator : nullptr);
        return hr;
    }
    HResult connect(const WString& ns) override {
        if (!locator_) return E_POINTER;
        BSTR name = SysAllocString(reinterpret_cast<const OLECHAR*>(ns.c_str()));
        if (!name) return kResultOutOfMemory;
        IWbemServices* services = nullptr;
        const HRESULT hr = locator_.get()->ConnectServer(name, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
        SysFreeString(name);
        if (FAILED(hr)) return hr;
        services_.reset(services);
        locator_.reset();
        return hr;
    }
    HResult createRefresher() override {
        IWbemRefresher* refresher = nullptr;
        const HRESULT hr = CoCreateInstance(CLSID_WbemRefresher, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemRefresher,
                                            reinterpret_cast<void**>(&refresher));
        refresher_.reset(SUCCEEDED(hr) ? refresher : nullptr);
        return hr;
    }
    HResult configureRefresher() override {
        if (!refresher_) return E_POINTER;
        IWbemConfigureRefresher* configure = nullptr;
        const HRESULT hr =
            refresher_.get()->QueryInterface(IID_IWbemConfigureRefresher, reinterpret_cast<void**>(&configure));
        configure_.reset(SUCCEEDED(hr) ? configure : nullptr);
        return hr;
    }
    HResult addEnum(const WString& className, int32_t& id) override {
        if (!configure_ || !services_) return E_POINTER;
        IWbemHiPerfEnum* hiPerfEnum = nullptr;
        long enumId = 0;
        const HRESULT hr = configure_.get()->AddEnum(services_.get(), reinterpret_cast<LPCWSTR>(className.c_str()), 0,
                                                     nullptr, &hiPerfEnum, &enumId);
        if (FAILED(hr)) return hr;
        enums_.emplace_back(static_cast<int32_t>(enumId), ComPtr<IWbemHiPerfEnum>(hiPerfEnum));
        id = static_cast<int32_t>(enumId);
        return hr;
    }
    HResult removeEnum(int32_t id) override {
        if (!configure_) return E_POINTER;
        const HRESULT hr = configure_.get()->Remove(id, 0);
        for (auto it = enums_.begin(); it != enums_.end(); ++it) {
            if (it->first == id) {
                enums_.erase(it);
                break;
            }
        }
        return hr;
    }
    HResult refresh() override { return refresher_ ? refresher_.get()->Refresh(0) : E_POINTER; }
    HResult objects(int32_t id, std::vector<WmiObjectRef>& out) override {
        IWbemHiPerfEnum* hiPerfEnum = nullptr;
        for (auto& e : enums_)
            if (e.first == id) hiPerfEnum = e.second.get();
        if (!hiPerfEnum) return E_INVALIDARG;
        std::vector<IWbemObjectAccess*> array;
        ULONG count = 0;
        HRESULT hr = hiPerfEnum->GetObjects(0, 0, nullptr, &count);
        while (hr == static_cast<HRESULT>(WBEM_E_BUFFER_TOO_SMALL) && count > array.size()) {
            array.assign(count, nullptr);
            hr = hiPerfEnum->GetObjects(0, static_cast<ULONG>(array.size()), array.data(), &count);
        }
        out.clear();
        if (FAILED(hr)) return hr;
        for (ULONG i = 0; i < count && i < array.size(); ++i)
            if (array[i]) out.push_back(std::make_shared<ComCounterObject>(apartment_, array[i]));
        return hr;
    }

private:
    std::shared_ptr<ComApartment> apartment_;
    ComPtr<IWbemRefresher> refresher_;
    ComPtr<IWbemLocator> locator_;
    ComPtr<IWbemConfigureRefresher> configure_;
    ComPtr<IWbemServices> services_;
    std::vector<std::pair<int32_t, ComPtr<IWbemHiPerfEnum>>> enums_;
};

}  // namespace

std::unique_ptr<WmiCounters> systemWmiCounters() { return std::make_unique<ComWmiCounters>(); }

}  // namespace monitor
