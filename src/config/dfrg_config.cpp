#include "config/dfrg_config.h"

#include "logging/log.h"
#include "volume/dfrg_volume.h"

#include "platform/make_directory.h"
#include "config/product_key.h"
#include "platform/dfrg_exception.h"
#include "volume/provider_selection.h"

namespace {

std::atomic<CDfrgConfig*> g_current{nullptr};

const char* const kLoadFailed = "Couldn't load config from Registry";

}  // namespace

CDfrgConfig* currentConfig() { return g_current.load(); }

CDfrgConfig::CDfrgConfig() : stateDirectory_(u"..\\state\\") {
    // An existing directory is no error.
    makeDirectory(stateDirectory_);

    if (!registry_.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, true, settingsKey_))
        throw CDfrgException(ErrorFileNotFound, kLoadFailed);

    // Read at every load and never written back: its absence is what selects the real drives.
    WString simulationDirectory;
    settingsKey_.queryString(u"simulationDirectory", simulationDirectory, WString());
    volumeProvider_ = selectVolumeProvider(simulationDirectory);

    scanDrives();

    ensureDword("doRunInBatteryMode", 0);
    ensureDword("enablePauseReasonLog", 0);
    maxClusterMoveCount_ = ensureDword("MaxClusterMoveCount", 1024);
    maxExtentListSize_ = ensureDword("MaxExtentListSize", 0x100000);
    ensureDword("NearByWatchListDist", 1200);
    doMoveLeft_ = ensureDword("DoMoveLeft", 0);
    doMoveBetterPlace_ = ensureDword("DoMoveBetterPlace", 1);
    settingsKey_.queryDword("maxProcessCalls", maxProcessCalls_, 0xFFFFFFFFu);

    // Published only once loaded, so that a failed load never leaves a dangling current object.
    g_current.store(this);
}

CDfrgConfig::~CDfrgConfig() {
    CDfrgConfig* self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

void CDfrgConfig::scanDrives() {
    uint32_t present = volumeProvider_->logicalDrives();
    uint32_t driveMap = 0;
    // Drive 'A' is never considered.
    for (int n = 1; n < 26; ++n) {
        if (!(present & (1u << n))) continue;
        char16_t letter = static_cast<char16_t>(u'A' + n);
        WString root{letter, u':', u'\\'};
        if (volumeProvider_->driveType(root) != CVolumeProvider::kDriveFixed) continue;
        driveMap |= 1u << n;

        WString label;
        if (!volumeProvider_->volumeLabel(root, label)) label.clear();

        std::string keyName{static_cast<char>('A' + n), ':'};
        CRegistryKey volumeKey;
        if (settingsKey_.openSubKey(keyName, kRegKeyAllAccess, false, volumeKey)) continue;
        if (!settingsKey_.openSubKey(keyName, kRegKeyAllAccess, true, volumeKey))
            throw CDfrgException(ErrorFileNotFound, kLoadFailed);
        volumeKey.setString(u"Name", label);
        volumeKey.setDword("enabled", 1);
    }
    settingsKey_.setDword("Drive Map", driveMap);
}

uint32_t CDfrgConfig::ensureDword(const char* name, uint32_t defaultValue) {
    uint32_t value = defaultValue;
    if (!settingsKey_.queryDword(name, value, defaultValue)) settingsKey_.setDword(name, defaultValue);
    return value;
}

bool CDfrgConfig::doRunInBatteryMode() {
    uint32_t v = 0;
    settingsKey_.queryDword("doRunInBatteryMode", v, 0);
    return v != 0;
}

bool CDfrgConfig::doRunWhilePrinting() {
    uint32_t v = 0;
    settingsKey_.queryDword("doRunWhilePrinting", v, 0);
    return v == 1;
}

bool CDfrgConfig::defragSolidState() {
    uint32_t v = 0;
    settingsKey_.queryDword("defragSolidState", v, 0);
    return v == 1;
}

bool CDfrgConfig::sessionZeroProbes() {
    uint32_t v = 0;
    settingsKey_.queryDword("sessionZeroProbes", v, 0);
    return v == 1;
}

void CDfrgConfig::recordVolumeSkip(char letter, uint32_t reason) {
    CRegistryKey product;
    if (!registry_.openKey(productKeyPath(), kRegKeyAllAccess, nullptr, true, product)) return;
    const std::string name = std::string("volumeSkipped_") + letter;
    if (reason) product.setDword(name, reason);
    else product.deleteValue(platform::utf8ToUtf16(name));
}

bool leaveVolumeAlone(CDfrgConfig& config, CDfrgVolume& volume, char letter) {
    bool seekPenalty = true;
    const bool solidState = volume.querySeekPenalty(seekPenalty) && !seekPenalty;
    const bool skip = solidState && !config.defragSolidState();
    config.recordVolumeSkip(letter, skip ? CDfrgConfig::kSkipSolidState : 0);
    if (skip) {
        LogScope scope("leaveVolumeAlone");
        LogMessage(scope, LogPriority::Notice)
            .text("Volume left alone: solid-state drive")
            .prop("Volume", std::string(1, letter) + ":")
            .prop("Setting", "defragSolidState");
    }
    return skip;
}

bool CDfrgConfig::enablePauseReasonLog() {
    uint32_t v = 0;
    settingsKey_.queryDword("enablePauseReasonLog", v, 0);
    return v != 0;
}

bool CDfrgConfig::makeDump() {
    uint32_t v = 0;
    settingsKey_.queryDword("makeDump", v, 0);
    return v != 0;
}

uint32_t CDfrgConfig::dumpType() {
    uint32_t v = 0;
    settingsKey_.queryDword("dumpType", v, 0);
    return v;
}

WString CDfrgConfig::dumpPath() {
    WString path;
    settingsKey_.queryString(u"dumpPath", path, u"c:\\volumeDump.vdf");
    return path;
}

char CDfrgConfig::getEnabledVolume(int index) {
    if (index < 0) return 0;
    // target moves one further for every disabled key met before it.
    uint32_t target = static_cast<uint32_t>(index);
    for (uint32_t i = 0;; ++i) {
        CRegistryKey volumeKey = settingsKey_.openSubKeyByIndex(i, kRegKeyAllAccess);
        if (!volumeKey.isValid()) return 0;
        uint32_t enabled = 1;
        volumeKey.queryDword("enabled", enabled, 1);
        if (enabled == 0) {
            ++target;
            continue;
        }
        if (i == target) {
            std::string name = volumeKey.keyName();
            return name.empty() ? 0 : name[0];
        }
    }
}

uint32_t CDfrgConfig::maxClusterMoveCount() const { return maxClusterMoveCount_; }
uint32_t CDfrgConfig::maxExtentListSize() const { return maxExtentListSize_; }
bool CDfrgConfig::doMoveLeft() const { return doMoveLeft_ == 1; }
bool CDfrgConfig::doMoveBetterPlace() const { return doMoveBetterPlace_ == 1; }
int32_t CDfrgConfig::maxProcessCalls() const { return static_cast<int32_t>(maxProcessCalls_); }
WString CDfrgConfig::stateDirectory() const { return stateDirectory_; }
bool CDfrgConfig::benchmarkMode() const { return benchmarkMode_.load(); }
void CDfrgConfig::setBenchmarkMode(bool on) { benchmarkMode_.store(on); }
std::shared_ptr<CVolumeProvider> CDfrgConfig::volumeProvider() const { return volumeProvider_; }
