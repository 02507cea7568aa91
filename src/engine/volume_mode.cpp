#include "engine/volume_mode.h"

#include <string>
#include <vector>

#include "config/product_key.h"
#include "config/registry.h"
#include "platform/clock.h"

namespace {

constexpr uint64_t kTicksPerMs = 10000;
constexpr double kMsPerDay = 86400000.0;

WString modeName(char16_t letter) { return u"volumeMode_" + WString(1, letter); }
WString timeName(char16_t letter) { return u"volumeModeTime_" + WString(1, letter); }

bool hasPrefix(const WString& name, const WString& prefix) {
    return name.size() >= prefix.size() && platform::compareNoCase(name.substr(0, prefix.size()), prefix) == 0;
}

}  // namespace

int32_t readVolumeMode(char16_t driveLetter, double* ageDays) {
    if (ageDays) *ageDays = 0.0;
    CRegistry registry;
    CRegistryKey key;
    if (!registry.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, false, key)) return kVolumeModeScan;
    uint32_t mode = 0;
    if (!key.queryDword(modeName(driveLetter), mode, 0)) return kVolumeModeScan;
    uint64_t stamp = 0;
    if (ageDays && key.queryQword(timeName(driveLetter), stamp, 0)) {
        // Whole milliseconds, unsigned, as the stamp is kept.
        const uint64_t ms = (platform::fileTimeNow() - stamp) / kTicksPerMs;
        *ageDays = static_cast<double>(ms) / kMsPerDay;
    }
    return static_cast<int32_t>(mode);
}

void writeVolumeMode(char16_t driveLetter, int32_t mode) {
    CRegistry registry;
    CRegistryKey key;
    if (!registry.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, false, key)) return;
    key.setDword(modeName(driveLetter), static_cast<uint32_t>(mode));
    key.setQword(timeName(driveLetter), platform::fileTimeNow());
}

void checkVolumeModeVersion() {
    CRegistry registry;
    CRegistryKey key;
    if (!registry.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, false, key)) return;
    uint32_t version = 0;
    key.queryDword("volumeModeVersion", version, 0);
    if (version == kVolumeModeVersion) return;
    std::vector<WString> stale;
    WString name;
    for (uint32_t i = 0; key.valueName(i, name); ++i)
        if (hasPrefix(name, u"volumeMode_") || hasPrefix(name, u"volumeModeTime_")) stale.push_back(name);
    for (const WString& n : stale) key.deleteValue(n);
    key.setDword("volumeModeVersion", kVolumeModeVersion);
}
