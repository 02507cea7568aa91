#include "config/registry_store.h"

#include <cstdlib>
#include <mutex>

namespace {
std::mutex g_lock;
std::shared_ptr<CRegistryStore> g_override;
std::string g_path;
}  // namespace

std::shared_ptr<CRegistryStore> systemRegistryStore() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_override) return g_override;
    }
    return platformRegistryStore();
}

void overrideRegistryStore(std::shared_ptr<CRegistryStore> store) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_override = std::move(store);
}

std::string registryStorePath() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_path.empty()) return g_path;
    }
    const char* env = std::getenv("VELKARIS_REGISTRY_DB");
    if (env && *env) return env;
    return "..\\state\\registry.sqlite3";
}

void setRegistryStorePath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_path = path;
}
