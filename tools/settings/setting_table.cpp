#include "settings/setting_table.h"

#include "platform/text.h"

namespace settings {

namespace {

constexpr uint32_t kAny = 0xFFFFFFFFu;
constexpr SettingScope G = SettingScope::Global;
constexpr SettingScope V = SettingScope::Volume;
constexpr SettingType D = SettingType::Dword;
constexpr SettingType S = SettingType::String;

const std::vector<SettingInfo> kTable = {
    {"doRunInBatteryMode", G, D, 0, nullptr, 0, 1, true, false, "1: work on battery power too"},
    {"doRunWhilePrinting", G, D, 0, nullptr, 0, 1, true, false, "1: work while a print job is queued"},
    {"enablePauseReasonLog", G, D, 0, nullptr, 0, 1, true, false, "1: log why the service pauses"},
    {"makeDump", G, D, 0, nullptr, 0, 1, true, false, "1: write a volume dump to dumpPath"},
    {"dumpType", G, D, 0, nullptr, 0, 1, true, false, "what the dump lists: 0 directories and files, 1 files only"},
    {"dumpPath", G, S, 0, u"c:\\volumeDump.vdf", 1, 0, true, false, "the volume dump file"},
    {"MaxClusterMoveCount", G, D, 1024, nullptr, 0, kAny, true, true,
     "clusters per move step, 0 no limit"},
    {"MaxExtentListSize", G, D, 0x100000, nullptr, 1, 0x1000000, true, true,
     "free runs the engine keeps track of"},
    {"NearByWatchListDist", G, D, 1200, nullptr, 0, kAny, true, false, "kept for the user-interface program"},
    {"DoMoveLeft", G, D, 0, nullptr, 0, 1, true, true,
     "1: move files towards the start of the volume"},
    {"DoMoveBetterPlace", G, D, 1, nullptr, 0, 1, true, true,
     "1: move files to a better place"},
    {"maxProcessCalls", G, D, kAny, nullptr, 0, kAny, true, true,
     "files a benchmark run (-exec -b) processes, 4294967295 not set"},
    {"simulationDirectory", G, S, 0, u"", 0, 0, true, true,
     "a folder of volume images worked on instead of the drives; empty: the drives"},
    {"Drive Map", G, D, 0, nullptr, 0, kAny, false, false,
     "the fixed drives at the service's last start, bit n for drive 'A'+n (written by the service)"},
    {"enabled", V, D, 1, nullptr, 0, 1, true, false, "0: the service leaves this volume alone"},
    {"Name", V, S, 0, u"", 0, 0, true, false, "the volume's label, for display only"},
};

}  // namespace

const std::vector<SettingInfo>& settingTable() { return kTable; }

const SettingInfo* findSetting(const std::string& name, SettingScope scope) {
    const std::string wanted = platform::asciiLower(name);
    for (const SettingInfo& s : kTable)
        if (s.scope == scope && platform::asciiLower(s.name) == wanted) return &s;
    return nullptr;
}

}  // namespace settings
