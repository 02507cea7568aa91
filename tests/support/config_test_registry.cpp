#include "support/config_test_registry.h"

#include <filesystem>
#include <random>

#include "config/product_key.h"
#include "config/registry_store.h"
#include "platform/process_paths.h"
#include "volume/provider_selection.h"

namespace {

std::string hexBytes(uint32_t type, const std::vector<uint8_t>& data) {
    std::string out = std::to_string(type) + ":";
    for (uint8_t b : data) out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return out;
}
std::string littleEndian(uint32_t type, uint64_t value, int bytes) {
    std::vector<uint8_t> data;
    while (bytes--) data.push_back(static_cast<uint8_t>(value)), value >>= 8;
    return hexBytes(type, data);
}

}  // namespace

ScopedTestRegistry::ScopedTestRegistry() {
    std::random_device device;
    std::string suffix = std::to_string(device()) + std::to_string(device());
    root_ = "SOFTWARE\\velkaris-test-" + suffix;
    std::filesystem::path scratch = std::filesystem::temp_directory_path() / ("velkaris-test-" + suffix);
    std::filesystem::create_directories(scratch / "work");
    scratch_ = scratch.string();
    previousDirectory_ = platform::currentDirectory();
    platform::setCurrentDirectory((scratch / "work").string());
    setRegistryStorePath((scratch / "db" / "registry.sqlite3").string());  // the Windows registry has no path
    setProductKeyPath(root_ + "\\Velkaris Lumeric Defrag");
}

ScopedTestRegistry::~ScopedTestRegistry() {
    overrideRegistryStore(nullptr);
    overrideVolumeProvider(nullptr);
    {
        CRegistry registry;
        CRegistryKey software;
        if (registry.openKey("SOFTWARE", kRegKeyAllAccess, nullptr, false, software))
            deleteKeyTree(software, root_.substr(root_.find('\\') + 1));
    }
    setProductKeyPath("");
    setRegistryStorePath("");
    platform::setCurrentDirectory(previousDirectory_);
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
}

std::map<std::string, std::string> dumpKeyTree(const CRegistryKey& key, const std::string& path) {
    std::map<std::string, std::string> out;
    WString name;
    for (uint32_t i = 0; key.valueName(i, name); ++i) out[path + "|" + platform::utf16ToUtf8(name)] = rawValue(key, name);
    CRegistryKey sub;
    for (uint32_t i = 0; (sub = key.openSubKeyByIndex(i, kRegKeyRead)).isValid(); ++i)
        for (auto& v : dumpKeyTree(sub, path.empty() ? sub.keyName() : path + "\\" + sub.keyName())) out.insert(v);
    return out;
}

std::vector<std::string> subKeyNames(const CRegistryKey& key) {
    std::vector<std::string> names;
    CRegistryKey sub;
    for (uint32_t i = 0; (sub = key.openSubKeyByIndex(i, kRegKeyRead)).isValid(); ++i) names.push_back(sub.keyName());
    return names;
}

bool deleteKeyTree(CRegistryKey parent, const std::string& name) {
    CRegistryKey key;
    if (parent.openSubKey(name, kRegKeyAllAccess, false, key)) {
        for (const std::string& child : subKeyNames(key)) deleteKeyTree(key, child);
        key.close();
    }
    return parent.deleteSubKey(name);
}

std::string rawValue(const CRegistryKey& key, const WString& name) {
    uint32_t type = 0;
    std::vector<uint8_t> data;
    return key.queryRaw(name, type, data) ? hexBytes(type, data) : std::string();
}

std::string dwordValue(uint32_t value) { return littleEndian(kRegTypeDword, value, 4); }
std::string qwordValue(uint64_t value) { return littleEndian(kRegTypeQword, value, 8); }

std::string stringValue(const WString& value) {
    std::vector<uint8_t> bytes;
    for (char16_t c : value + u'\0') bytes.insert(bytes.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
    return hexBytes(kRegTypeSz, bytes);
}
