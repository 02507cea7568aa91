#include "sim/provider_selection.h"

#include <mutex>

namespace {
std::mutex g_lock;
std::shared_ptr<CVolumeProvider> g_override;
std::shared_ptr<CVolumeProvider> g_current;
}  // namespace

std::shared_ptr<CVolumeProvider> selectVolumeProvider(const WString& simulationDirectory) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_override) g_current = g_override;
    else if (!simulationDirectory.empty()) g_current = makeSimulationVolumeProvider(simulationDirectory);
    else g_current = makeSystemVolumeProvider();
    return g_current;
}

void overrideVolumeProvider(std::shared_ptr<CVolumeProvider> provider) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_override = std::move(provider);
    if (g_override) g_current = g_override;
}

std::shared_ptr<CVolumeProvider> currentVolumeProvider() {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (g_current) return g_current;
    }
    return selectVolumeProvider(WString());
}
