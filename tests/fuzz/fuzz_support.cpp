#include "fuzz_support.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "config/product_key.h"
#include "config/registry.h"
#include "config/registry_store.h"
#include "platform/process_paths.h"

namespace fuzz {

const std::string& scratchDirectory() {
    static const std::string dir = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "velkaris-fuzz-XXXXXX").string();
        char* made = mkdtemp(&pattern[0]);
        if (!made) std::abort();
        std::filesystem::create_directories(std::filesystem::path(made) / "work");
        std::filesystem::create_directories(std::filesystem::path(made) / "state");
        platform::setCurrentDirectory((std::filesystem::path(made) / "work").string());
        setRegistryStorePath((std::filesystem::path(made) / "registry.sqlite3").string());
        setProductKeyPath("SOFTWARE\\velkaris-fuzz\\Velkaris Lumeric Defrag");
        // The scratch tree goes with the process.
        static const std::string keep = made;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(keep, ignored);
        });
        return std::string(made);
    }();
    return dir;
}

std::string writeInput(const char* name, const uint8_t* data, size_t size) {
    std::string path = (std::filesystem::path(scratchDirectory()) / name).string();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}

WString widePath(const std::string& path) { return platform::utf8ToUtf16(path); }

namespace {
// Creates each component of path below parent; 0 when the key could not be made.
RegistryHandle createPath(CRegistryStore& store, const std::string& path) {
    RegistryHandle current = store.root();
    bool owned = false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty()) {
            RegistryHandle next = 0;
            uint32_t rc = store.createKey(current, platform::utf8ToUtf16(part), kRegKeyAllAccess, next);
            if (owned) store.closeKey(current);
            if (rc != 0) return 0;
            current = next;
            owned = true;
        }
        start = end + 1;
    }
    return owned ? current : 0;
}
}  // namespace

void setRawValue(const std::string& subKey, const WString& name, uint32_t type, const uint8_t* data, size_t size) {
    scratchDirectory();
    auto store = systemRegistryStore();
    std::string path = productKeyPath() + (subKey.empty() ? "" : "\\" + subKey);
    RegistryHandle key = createPath(*store, path);
    if (!key) return;
    store->setValue(key, name, type, data, static_cast<uint32_t>(size));
    store->closeKey(key);
}

namespace {
void deleteTree(CRegistryKey& parent, const std::string& name) {
    CRegistryKey key;
    if (!parent.openSubKey(name, kRegKeyAllAccess, false, key)) return;
    for (;;) {
        CRegistryKey child = key.openSubKeyByIndex(0, kRegKeyAllAccess);
        if (!child.isValid()) break;
        std::string childName = child.keyName();
        child.close();
        size_t slash = childName.find_last_of('\\');
        if (slash != std::string::npos) childName = childName.substr(slash + 1);
        deleteTree(key, childName);
        CRegistryKey still;
        if (key.openSubKey(childName, kRegKeyAllAccess, false, still)) break;  // could not delete: give up
    }
    key.close();
    parent.deleteSubKey(name);
}
}  // namespace

void clearProductKey() {
    scratchDirectory();
    CRegistry registry;
    CRegistryKey parent;
    if (registry.openKey("SOFTWARE\\velkaris-fuzz", kRegKeyAllAccess, nullptr, false, parent))
        deleteTree(parent, "Velkaris Lumeric Defrag");
}

}  // namespace fuzz
