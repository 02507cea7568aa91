// What every fuzz target shares: a scratch directory, registry and product key of its own for the
// whole process (its "work" folder is current, so relative paths stay inside).
#pragma once
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/text.h"
#include "support/config_test_registry.h"

namespace fuzz {

// Never destroyed (other statics use the registry during exit); only its scratch tree goes.
inline ScopedTestRegistry& world() {
    static ScopedTestRegistry* registry = [] {
        auto* made = new ScopedTestRegistry;
        std::atexit([] { std::filesystem::remove_all(world().scratchDirectory()); });
        return made;
    }();
    return *registry;
}
inline const std::string& scratchDirectory() { return world().scratchDirectory(); }
inline WString widePath(const std::string& path) { return platform::utf8ToUtf16(path); }
// Writes the bytes to a file in the scratch directory and returns its path.
inline std::string writeInput(const char* name, const uint8_t* data, size_t size) {
    std::string path = scratchDirectory() + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}
// Sets a value of any type below the product key ("" for the key itself), as a damaged registry may.
void setRawValue(const std::string& subKey, const WString& name, uint32_t type, const uint8_t* data, size_t size);
inline void clearProductKey() {
    CRegistry registry;
    CRegistryKey root;
    if (registry.openKey(world().rootPath(), kRegKeyAllAccess, nullptr, false, root))
        deleteKeyTree(root, "Velkaris Lumeric Defrag");
}

}  // namespace fuzz
