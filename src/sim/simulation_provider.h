// The simulated machine: the images (*.vimg) of a directory, one fixed drive per image from 'C' on.
#pragma once
#include <memory>

#include "platform/text.h"
#include "volume/volume_provider.h"

std::shared_ptr<CVolumeProvider> makeSimulationVolumeProvider(const WString& directory);

// Lets a simulation directory (and, off Windows, the system drives) select the images: every
// program that links the simulation calls it once at start.
void useSimulationImages();
