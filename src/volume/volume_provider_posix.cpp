// POSIX only: the machine's fixed drives are the images of the default simulation directory.
#include "volume/provider_selection.h"

std::shared_ptr<CVolumeProvider> makeSystemVolumeProvider() { return makeRegisteredSimulationProvider(u"..\\volumes\\"); }
