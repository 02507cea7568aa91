#include "config/product_key.h"

#include <mutex>

namespace {
std::mutex g_lock;
std::string g_path;
}  // namespace

std::string productKeyPath() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_path.empty() ? std::string("SOFTWARE\\velkaris\\Velkaris Lumeric Defrag") : g_path;
}

void setProductKeyPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_path = path;
}
