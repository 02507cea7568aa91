#include "volume/provider_selection.h"

#include <atomic>
#include <mutex>

#include "platform/dfrg_exception.h"
#include "volume/dfrg_volume.h"

namespace {

std::mutex g_lock;
std::shared_ptr<CVolumeProvider> g_override;
std::shared_ptr<CVolumeProvider> g_current;
std::atomic<SimulationProviderFactory> g_simulation{nullptr};

class NoDrivesProvider : public CVolumeProvider {
public:
    uint32_t logicalDrives() override { return 0; }
    uint32_t driveType(const WString&) override { return 1; }  // DRIVE_NO_ROOT_DIR
    bool volumeLabel(const WString&, WString&) override { return false; }
    std::unique_ptr<CDfrgVolume> openVolume(char) override { throw CDfrgException(ErrorVolumeUnavailable); }
};

}  // namespace

void registerSimulationProvider(SimulationProviderFactory factory) { g_simulation = factory; }

std::shared_ptr<CVolumeProvider> makeRegisteredSimulationProvider(const WString& directory) {
    const SimulationProviderFactory factory = g_simulation;
    if (factory) return factory(directory);
    return std::make_shared<NoDrivesProvider>();
}

std::shared_ptr<CVolumeProvider> selectVolumeProvider(const WString& simulationDirectory) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_override) g_current = g_override;
    else if (!simulationDirectory.empty()) g_current = makeRegisteredSimulationProvider(simulationDirectory);
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
