// POSIX only: no user sessions to start an agent in.
#include "service/agent_autostart.h"

namespace agent_autostart {

bool registerAgent() { return true; }
bool unregisterAgent() { return true; }

}  // namespace agent_autostart
