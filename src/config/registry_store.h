// The store behind the registry layer: the Windows registry under HKEY_LOCAL_MACHINE, or on
// other platforms a database with the same tree of keys and typed values. The operations mirror
// the advapi32 calls one to one and answer with the same error codes (0 on success), so that
// the registry layer above holds all the logic and runs unchanged on both.
//
// Names compare case-insensitively. The database store enumerates sub keys and values sorted by
// name with each UTF-16 unit upper-cased in the ASCII and Latin-1 ranges (the order of
// platform::compareNoCase, which is how Windows orders sub keys). Wine sorts by lower case
// instead, which differs only for the few characters between 'Z' and 'a' ("A_" before "AB").
//
// Thread safety: every operation may be called from any thread; a handle may be used by several
// threads at once, but closed only once, after all other use.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/text.h"

// An open key of the store; never 0 for an open key.
using RegistryHandle = uintptr_t;

// Value types, as the Windows registry numbers them.
constexpr uint32_t kRegTypeSz = 1;
constexpr uint32_t kRegTypeBinary = 3;
constexpr uint32_t kRegTypeDword = 4;
constexpr uint32_t kRegTypeQword = 11;

// Access rights, as the Windows registry numbers them.
constexpr uint32_t kRegKeyQueryValue = 0x0001;
constexpr uint32_t kRegKeySetValue = 0x0002;
constexpr uint32_t kRegKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kRegKeyRead = 0x20019;
constexpr uint32_t kRegKeyAllAccess = 0xF003F;

// Result codes beyond those of platform/win32_types.h.
constexpr uint32_t kRegErrorMoreData = 234;
constexpr uint32_t kRegErrorNoMoreItems = 259;
constexpr uint32_t kRegErrorIoFailed = 1016;
constexpr uint32_t kRegErrorKeyDeleted = 1018;

class CRegistryStore {
public:
    virtual ~CRegistryStore() = default;

    // HKEY_LOCAL_MACHINE; never closed.
    virtual RegistryHandle root() = 0;
    // One path component below parent. 2 when it does not exist.
    virtual uint32_t openKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) = 0;
    // Opens or creates one path component below parent (non-volatile, no class).
    virtual uint32_t createKey(RegistryHandle parent, const WString& name, uint32_t access, RegistryHandle& key) = 0;
    virtual void closeKey(RegistryHandle key) = 0;
    // The index-th sub key name. capacity counts UTF-16 units including a terminator: a longer
    // name gives 234 (more data), past the end gives 259 (no more items).
    virtual uint32_t enumKey(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) = 0;
    // The index-th value name, with the same rules as enumKey.
    virtual uint32_t enumValue(RegistryHandle key, uint32_t index, uint32_t capacity, WString& name) = 0;
    // Type and bytes of a value. size holds the buffer's size in bytes on entry and the value's
    // size on return; a buffer too small gives 234 with the size needed. 2 when missing.
    virtual uint32_t queryValue(RegistryHandle key, const WString& name, uint32_t& type, uint8_t* data,
                                uint32_t& size) = 0;
    virtual uint32_t setValue(RegistryHandle key, const WString& name, uint32_t type, const uint8_t* data,
                              uint32_t size) = 0;
    virtual uint32_t deleteValue(RegistryHandle key, const WString& name) = 0;
    // Deletes a sub key that has no sub keys of its own (5 when it has some), with its values.
    virtual uint32_t deleteKey(RegistryHandle parent, const WString& name) = 0;
};

// The store of this process: the registry of the local machine on Windows; elsewhere the
// database at registryStorePath(), opened on first use. A store set with overrideRegistryStore
// wins.
std::shared_ptr<CRegistryStore> systemRegistryStore();
// Tests and tools: a store to use instead of the system's; nullptr restores it.
void overrideRegistryStore(std::shared_ptr<CRegistryStore> store);

// Where the database lives on platforms without a registry: the path set with
// setRegistryStorePath, else the environment variable VELKARIS_REGISTRY_DB, else
// "..\state\registry.sqlite3" against the current directory. Relative paths resolve against the
// current directory when the store is first used. Without meaning on Windows.
std::string registryStorePath();
// An empty path restores the default.
void setRegistryStorePath(const std::string& path);

// Implemented per platform; callers use systemRegistryStore().
std::shared_ptr<CRegistryStore> platformRegistryStore();
