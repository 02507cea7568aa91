// The per-volume mode values under the product key, of any type and length.
#include <fuzzer/FuzzedDataProvider.h>

#include "engine/volume_mode.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char16_t* const kNames[] = {u"volumeMode_C", u"volumeModeTime_C", u"volumeModeVersion",
                                             u"VOLUMEMODE_D", u"volumeModeTime_d", u"volumeMode_"};
    fuzz::clearProductKey();
    FuzzedDataProvider in(data, size);
    for (int records = 0; records < 8 && in.remaining_bytes() > 0; ++records) {
        const char16_t* name = in.PickValueInArray(kNames);
        uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 11);
        std::string bytes = in.ConsumeRandomLengthString(16);
        fuzz::setRawValue("", name, type, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    double age = 0;
    readVolumeMode(u'C', &age);
    readVolumeMode(u'D');
    checkVolumeModeVersion();
    readVolumeMode(u'C', &age);
    return 0;
}
