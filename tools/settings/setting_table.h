// Every setting the service reads from its settings key, with type, default and the values it
// accepts: the global values, and the values of each volume key ("C:").
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace settings {

enum class SettingScope { Global, Volume };
enum class SettingType { Dword, String };

struct SettingInfo {
    const char* name;  // as stored in the registry
    SettingScope scope;
    SettingType type;
    uint32_t defaultNumber;      // DWORD settings
    const char16_t* defaultText; // string settings
    uint32_t minimum;            // DWORD: smallest value; string: shortest length
    uint32_t maximum;            // DWORD: largest value
    bool writable;               // false for values only the service writes
    bool readAtStart;            // the service reads it once, when it starts
    const char* meaning;
};

// In the order the list shows them.
const std::vector<SettingInfo>& settingTable();

// The setting of that scope whose name equals `name` ignoring ASCII case (registry names are
// case-insensitive); nullptr when there is none.
const SettingInfo* findSetting(const std::string& name, SettingScope scope);

}  // namespace settings
