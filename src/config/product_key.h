// The product key under HKEY_LOCAL_MACHINE that holds the settings, the statistics and the
// volume modes.
#pragma once
#include <string>

// "SOFTWARE\velkaris\Velkaris Lumeric Defrag", unless set otherwise.
std::string productKeyPath();
// Tests and tools may move the whole tree elsewhere; an empty path restores the default.
void setProductKeyPath(const std::string& path);
