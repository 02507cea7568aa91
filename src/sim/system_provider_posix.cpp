// POSIX only: the machine's fixed drives are the simulated volumes.
#include "sim/provider_selection.h"

std::shared_ptr<CVolumeProvider> makeSystemVolumeProvider() { return makeSimulationVolumeProvider(u"..\\volumes\\"); }
