// The registry layer: a root object for HKEY_LOCAL_MACHINE and reference-counted key handles.
// Paths open in one call (components separated by '\' or '/'), missing levels are created on
// request, and every failed query gives the caller's default. Nothing here throws: failures are
// false, an invalid handle or the default value.
//
// Key paths and 8-bit value names are UTF-8; string values are UTF-16.
//
// Lifetime: every handle should go before its root. A handle that outlives its root anyway
// becomes invalid (its key is closed with the root) instead of dangling.
//
// Threads: opening, copying and closing handles of one root may happen on several threads;
// value operations on one open key may run concurrently.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/registry_store.h"
#include "platform/text.h"

class CRegistryKey;

class CRegistry {
public:
    // The local machine's HKEY_LOCAL_MACHINE through the process's store (resolved on first use,
    // so a root made before the process has settled its current directory still finds it).
    CRegistry();
    // The same over a given store (tests, tools).
    explicit CRegistry(std::shared_ptr<CRegistryStore> store);
    virtual ~CRegistry();
    CRegistry(const CRegistry&) = delete;
    CRegistry& operator=(const CRegistry&) = delete;

    // Opens path below parent, or below the root when parent is null, with the given rights;
    // with create, missing levels are created. On success key holds the new handle (named by the
    // path's last component); on failure key is invalid. An empty path or an empty component
    // fails.
    bool openKey(const std::string& path, uint32_t access, const CRegistryKey* parent, bool create, CRegistryKey& key);

    // Number of distinct open keys of this root (copies of a handle count once).
    size_t openKeyCount() const;

    struct OpenKeyEntry;

private:
    friend class CRegistryKey;

    std::shared_ptr<CRegistryStore> store();
    static bool openPath(CRegistryStore& store, RegistryHandle parent, const std::string& path, uint32_t access,
                         bool create, RegistryHandle& key);
    CRegistryKey wrap(const std::shared_ptr<CRegistryStore>& store, RegistryHandle handle, const std::string& name);
    void release(OpenKeyEntry* entry);
    void retain(OpenKeyEntry* entry);

    mutable std::mutex lock_;
    std::shared_ptr<CRegistryStore> store_;
    OpenKeyEntry* head_ = nullptr;
    OpenKeyEntry* tail_ = nullptr;
    size_t count_ = 0;
};

class CRegistryKey {
public:
    // An invalid handle: every operation fails, queries give their default.
    CRegistryKey();
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey& other);
    CRegistryKey& operator=(const CRegistryKey& other);
    CRegistryKey(CRegistryKey&& other) noexcept;
    CRegistryKey& operator=(CRegistryKey&& other) noexcept;

    bool isValid() const;
    // Drops this handle's share of the key (closing it when this was the last); the handle
    // becomes invalid.
    void close();
    // The last component of the path the key was opened with; empty for an invalid handle.
    std::string keyName() const;
    // How many handles share this key (0 for an invalid handle).
    int useCount() const;

    // As CRegistry::openKey with this key as the parent.
    bool openSubKey(const std::string& path, uint32_t access, bool create, CRegistryKey& key) const;
    // The index-th sub key in enumeration order, opened (never created) with the given rights;
    // invalid past the end or on any failure.
    CRegistryKey openSubKeyByIndex(uint32_t index, uint32_t access) const;

    // DWORD queries accept REG_DWORD of 4 bytes only. value receives the stored value, or
    // defaultValue on failure (returning false).
    bool queryDword(const std::string& name, uint32_t& value, uint32_t defaultValue) const;
    bool queryDword(const WString& name, uint32_t& value, uint32_t defaultValue) const;
    // REG_SZ only; the text ends at the first zero (an empty value gives an empty string).
    bool queryString(const WString& name, WString& value, const WString& defaultValue) const;
    // The 8-bit form accepts REG_QWORD and also REG_BINARY of exactly 8 bytes; the UTF-16 form
    // accepts REG_QWORD only.
    bool queryQword(const std::string& name, uint64_t& value, uint64_t defaultValue) const;
    bool queryQword(const WString& name, uint64_t& value, uint64_t defaultValue) const;
    // Type and bytes as stored, whatever the type.
    bool queryRaw(const WString& name, uint32_t& type, std::vector<uint8_t>& data) const;

    bool setDword(const std::string& name, uint32_t value);
    bool setDword(const WString& name, uint32_t value);
    bool setQword(const std::string& name, uint64_t value);
    bool setQword(const WString& name, uint64_t value);
    // REG_SZ with its terminator.
    bool setString(const WString& name, const WString& value);
    bool setBinary(const WString& name, const std::vector<uint8_t>& data);

    // The index-th value's name (at most 16383 characters); false past the end.
    bool valueName(uint32_t index, WString& name) const;
    bool deleteValue(const WString& name);
    // Deletes the index-th value; false when there is none.
    bool deleteValueByIndex(uint32_t index);
    // Deletes a sub key that has no sub keys of its own.
    bool deleteSubKey(const std::string& name);

private:
    friend class CRegistry;
    explicit CRegistryKey(CRegistry::OpenKeyEntry* entry);
    // The store and handle to work with, or false for an invalid or orphaned handle.
    bool target(std::shared_ptr<CRegistryStore>& store, RegistryHandle& handle) const;
    bool setRaw(const WString& name, uint32_t type, const uint8_t* data, uint32_t size);

    CRegistry::OpenKeyEntry* entry_ = nullptr;
};
