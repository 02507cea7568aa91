// Values of any type and length for settings and statistics: (key, name, type, bytes) records.
#include <fuzzer/FuzzedDataProvider.h>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "fuzz_support.h"
#include "support/fake_clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // "simulationDirectory" is left out: it names a folder whose images the settings would open.
    static const char16_t* const kNames[] = {
        u"doRunInBatteryMode", u"doRunWhilePrinting", u"enablePauseReasonLog", u"makeDump", u"dumpType",
        u"dumpPath", u"MaxClusterMoveCount", u"MaxExtentListSize", u"NearByWatchListDist", u"DoMoveLeft",
        u"DoMoveBetterPlace", u"maxProcessCalls", u"Drive Map", u"Name", u"enabled", u"Processed Files",
        u"Moved Files", u"Defragged Files", u"Last File", u"Status"};
    static const std::string kKeys[] = {"settings", "settings\\C:", "settings\\D:", "statistics", "statistics\\complete",
                                        "statistics\\daily\\2001-01-01", "statistics\\daily\\9999-99-99",
                                        "statistics\\daily\\2024-03-03"};  // today by the clock
    static FakeClock clock;
    fuzz::clearProductKey();
    FuzzedDataProvider in(data, size);
    for (int records = 0; records < 16 && in.remaining_bytes() > 0; ++records) {
        const std::string& key = in.PickValueInArray(kKeys);
        const char16_t* name = in.PickValueInArray(kNames);
        uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 11);
        std::string bytes = in.ConsumeRandomLengthString(64);
        fuzz::setRawValue(key, name, type, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    try {
        CDfrgConfig config;
        (void)(config.doRunInBatteryMode() + config.doRunWhilePrinting() + config.enablePauseReasonLog() +
               config.makeDump() + config.dumpType() + config.dumpPath().size());
        for (int i = 0; config.getEnabledVolume(i); ++i) {
        }
    } catch (...) {  // a load that fails says so with an exception; the service logs it
    }
    CDfrgStatistics statistics;
    statistics.addProcessed(1);
    statistics.save(true);
    return 0;
}
