// A registry tree, product key and working directory of a test's own, removed afterwards.
#pragma once
#include <map>
#include <string>

#include "config/registry.h"

class ScopedTestRegistry {
public:
    ScopedTestRegistry();
    ~ScopedTestRegistry();
    ScopedTestRegistry(const ScopedTestRegistry&) = delete;

    // A key below HKEY_LOCAL_MACHINE (not created yet); the product key lies below it.
    const std::string& rootPath() const { return root_; }
    // Its sub directory "work" is current during the test, so "..\state\" is scratch/state.
    const std::string& scratchDirectory() const { return scratch_; }

private:
    std::string root_, scratch_, previousDirectory_;
};

// Every value below key: "sub\path|name" -> "type:hex bytes" ("|name" for the key's own values).
std::map<std::string, std::string> dumpKeyTree(const CRegistryKey& key, const std::string& path = "");
std::vector<std::string> subKeyNames(const CRegistryKey& key);  // in enumeration order
bool deleteKeyTree(CRegistryKey parent, const std::string& name);
// "type:hex" of one value, as dumpKeyTree shows it; empty when missing.
std::string rawValue(const CRegistryKey& key, const WString& name);
std::string dwordValue(uint32_t value);
std::string qwordValue(uint64_t value);
std::string stringValue(const WString& value);
