// Which volume provider this process uses: the simulation directory's images or the real drives.
#pragma once
#include <memory>

#include "platform/text.h"
#include "volume/volume_provider.h"

// The provider of a simulation directory's images. The simulation layer sits above this one, so a
// program that links it registers the factory at start (useSimulationImages); without it a
// simulation directory gives a machine without fixed drives, never the real drives.
using SimulationProviderFactory = std::shared_ptr<CVolumeProvider> (*)(const WString& directory);
void registerSimulationProvider(SimulationProviderFactory factory);
std::shared_ptr<CVolumeProvider> makeRegisteredSimulationProvider(const WString& directory);

// Chooses the provider of this process: the simulation directory when one is given, else the
// system provider. A provider set with overrideVolumeProvider (tests, tools) wins over both.
std::shared_ptr<CVolumeProvider> selectVolumeProvider(const WString& simulationDirectory);
void overrideVolumeProvider(std::shared_ptr<CVolumeProvider> provider);
// The provider chosen last (by selectVolumeProvider), or the system provider.
std::shared_ptr<CVolumeProvider> currentVolumeProvider();
