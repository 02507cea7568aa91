// POSIX only: the machine's fixed drives are the simulated volumes.
#include "volume/volume_provider.h"

std::shared_ptr<CVolumeProvider> makeSystemVolumeProvider() { return makeSimulationVolumeProvider(u"..\\volumes\\"); }
