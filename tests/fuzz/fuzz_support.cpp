#include "fuzz_support.h"

#include <sstream>

#include "config/product_key.h"
#include "config/registry_store.h"

void fuzz::setRawValue(const std::string& subKey, const WString& name, uint32_t type, const uint8_t* data, size_t size) {
    // Through the store: the registry layer writes only the types it knows.
    world();
    auto store = systemRegistryStore();
    RegistryHandle key = store->root();
    std::istringstream parts(productKeyPath() + (subKey.empty() ? "" : "\\" + subKey));
    for (std::string part; std::getline(parts, part, '\\');) {
        RegistryHandle next = 0;
        uint32_t rc = store->createKey(key, platform::utf8ToUtf16(part), kRegKeyAllAccess, next);
        if (key != store->root()) store->closeKey(key);
        if (rc != 0) return;
        key = next;
    }
    store->setValue(key, name, type, data, static_cast<uint32_t>(size));
    store->closeKey(key);
}
