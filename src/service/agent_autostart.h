// The user-session agent starts at every logon through the machine's Run key
// (HKLM\Software\Microsoft\Windows\CurrentVersion\Run, value "VelkarisDefragAgent"); installing
// the service writes the entry, removing it deletes it. Elsewhere there is no agent: both
// calls do nothing and succeed.
#pragma once
#include <string>

namespace agent_autostart {

constexpr const char* kRunValueName = "VelkarisDefragAgent";
constexpr const char* kAgentExecutable = "VelkarisDefragAgent.exe";

// Registers the agent that lies beside the running executable (quoted path). False on failure.
bool registerAgent();
// Removes the entry; true also when there was none.
bool unregisterAgent();

}  // namespace agent_autostart
