// Which volume provider this process uses: the simulation directory's images or the real drives.
#pragma once
#include <memory>

#include "platform/text.h"
#include "volume/volume_provider.h"
// The images (*.vimg) of a directory, one drive letter per image from 'C' on.
std::shared_ptr<CVolumeProvider> makeSimulationVolumeProvider(const WString& directory);

// Chooses the provider of this process: the simulation directory when one is given, else the
// system provider. A provider set with overrideVolumeProvider (tests, tools) wins over both.
std::shared_ptr<CVolumeProvider> selectVolumeProvider(const WString& simulationDirectory);
void overrideVolumeProvider(std::shared_ptr<CVolumeProvider> provider);
// The provider chosen last (by selectVolumeProvider), or the system provider.
std::shared_ptr<CVolumeProvider> currentVolumeProvider();
