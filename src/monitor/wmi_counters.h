// Raw performance counters through WMI: a refresher in the namespace root\cimv2 with
// high-performance enumerators of performance classes, and the counter objects they hold.
// Every call returns the COM result code (0 = success), so the caller decides what a failure
// means. One object belongs to one thread: the thread that called initialiseCom.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/text.h"

namespace monitor {

using HResult = int32_t;

constexpr HResult kResultOk = 0;
constexpr HResult kResultOutOfMemory = static_cast<HResult>(0x8007000Eu);
constexpr HResult kResultNotImplemented = static_cast<HResult>(0x80004001u);
constexpr HResult kWbemNotFound = static_cast<HResult>(0x80041002u);

// One counter object of an enumerator, held with its own reference (released by the destructor).
class WmiObject {
public:
    virtual ~WmiObject() = default;
    virtual HResult propertyHandle(const WString& name, int32_t& handle) = 0;
    virtual HResult readDword(int32_t handle, uint32_t& value) = 0;
    virtual HResult readQword(int32_t handle, uint64_t& value) = 0;
};
using WmiObjectRef = std::shared_ptr<WmiObject>;

class WmiCounters {
public:
    // Releases the refresher, the locator, the refresher's configuration interface, the
    // services connection and the enumerators, in that order.
    virtual ~WmiCounters() = default;

    // COM for the calling thread, multithreaded.
    virtual HResult initialiseCom() = 0;
    // Default authentication services, no authentication, impersonation.
    virtual HResult initialiseSecurity() = 0;
    virtual HResult createLocator() = 0;
    // Connects to `ns` with the current credentials and releases the locator.
    virtual HResult connect(const WString& ns) = 0;
    virtual HResult createRefresher() = 0;
    virtual HResult configureRefresher() = 0;
    // Adds an enumerator of a class to the refresher; `id` names it from then on.
    virtual HResult addEnum(const WString& className, int32_t& id) = 0;
    virtual HResult removeEnum(int32_t id) = 0;
    virtual HResult refresh() = 0;
    // The enumerator's current objects; an empty list when it holds none.
    virtual HResult objects(int32_t id, std::vector<WmiObjectRef>& out) = 0;
};

// COM and WMI on Windows; elsewhere a source whose every call fails with E_NOTIMPL.
std::unique_ptr<WmiCounters> systemWmiCounters();

}  // namespace monitor
