// Placeholder until the memory volume and its images exist: a simulation directory holds no
// drives yet.
#include "volume/volume_provider.h"

#include "platform/process_paths.h"
#include "service/dfrg_exception.h"

namespace {
class EmptySimulationProvider : public CVolumeProvider {
public:
    uint32_t logicalDrives() override { return 0; }
    uint32_t driveType(const WString&) override { return 1; }
    bool volumeLabel(const WString&, WString&) override { return false; }
    std::unique_ptr<CDfrgVolume> openVolume(char) override { throw CDfrgException(ErrorVolumeUnavailable, "no such volume"); }
};
}  // namespace

std::shared_ptr<CVolumeProvider> makeSimulationVolumeProvider(const WString&) {
    return std::make_shared<EmptySimulationProvider>();
}
